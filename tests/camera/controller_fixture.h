// A started controller against the recording fakes, with clean records.
#ifndef TETHER_TESTS_CAMERA_CONTROLLER_FIXTURE_H_
#define TETHER_TESTS_CAMERA_CONTROLLER_FIXTURE_H_

#include <memory>

#include <gtest/gtest.h>

#include "camera/Tether_qt.h"
#include "tests/camera/camera_fakes.h"

class ControllerTest : public testing::Test {
 protected:
  void SetUp() override {
    sdk().reset();
    host().reset();
    mTether = std::make_unique<Tether_qt>();
    mTether->init();
    fake::ClearLog();
  }
  void TearDown() override {
    mTether.reset();
    sdk().reset();
  }

  static fake::Sdk& sdk() { return fake::Sdk::get(); }
  static fake::Host& host() { return fake::Host::get(); }

  // Connects `model` and forgets what that recorded.
  void connectQuietly(int model) {
    sdk().device(true, model);
    host().reset();
    fake::ClearLog();
  }

  std::unique_ptr<Tether_qt> mTether;
};

#endif  // TETHER_TESTS_CAMERA_CONTROLLER_FIXTURE_H_
