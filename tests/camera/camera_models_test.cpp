// The model table: exactly the six accepted bodies and the one id of any other
// camera, each with its rules, and
// the default rules for no camera and for models that we do not drive.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "camera/CameraModels.h"
#include "camera/KRV_SDK.h"

namespace {

using tether::CameraModel;

struct Expected {
  int32_t id;
  const char* name;  // null: not driven
  bool aperture, whiteBalance, monochrome, remapped, extension, prefix, byStoredId;
  bool ownNames = false;
};

// Written out from what the host sees of each model, not copied from the table.
const Expected kExpected[] = {
    {8201, "Orvak K1", true, true, false, true, false, false, false},
    {8209, "Orvak K (Mk 2)", true, true, false, true, false, false, false},
    {8225, "Orvak R (Mk 4)", false, true, false, true, false, false, false},
    {8241, "Orvak K (Mk 3)", true, true, false, false, false, false, true},
    {8257, "Orvak KX (Mk 1)", true, true, false, false, true, true, false},
    {8273, "Orvak Tonal", false, false, true, false, false, false, false},
    {12289, "Camera", true, true, false, false, false, false, true, true},
    // No camera, and ids beside the accepted ones: the default rules.
    {0, nullptr, true, true, false, false, false, false, false},
    {-1, nullptr, true, true, false, false, false, false, false},
    {8200, nullptr, true, true, false, false, false, false, false},
    {8274, nullptr, true, true, false, false, false, false, false},
};

TEST(CameraModelsTest, EachIdHasItsRowAndUnknownIdsTheDefaultRules) {
  std::set<int32_t> accepted;
  for (const Expected& e : kExpected) {
    SCOPED_TRACE(e.id);
    const CameraModel* found = tether::FindCameraModel(e.id);
    ASSERT_EQ(found != nullptr, e.name != nullptr);
    if (found != nullptr) {
      EXPECT_EQ(found->id, e.id);
      EXPECT_EQ(std::string(found->displayName), e.name);
      accepted.insert(e.id);
    }
    const CameraModel& rules = tether::CameraModelRules(e.id);
    EXPECT_EQ(rules.readsAperture, e.aperture);
    EXPECT_EQ(rules.readsWhiteBalance, e.whiteBalance);
    EXPECT_EQ(rules.monochrome, e.monochrome);
    EXPECT_EQ(rules.remappedWhiteBalance, e.remapped);
    EXPECT_EQ(rules.namesCarryExtension, e.extension);
    EXPECT_EQ(rules.fileNamesPrefixCaptureId, e.prefix);
    EXPECT_EQ(rules.disconnectsByStoredId, e.byStoredId);
    EXPECT_EQ(rules.camerasOwnNames, e.ownNames);
  }
  // The table holds the six and the generic id, nothing else.
  ASSERT_EQ(tether::kCameraModelCount, 7u);
  for (size_t i = 0; i < tether::kCameraModelCount; ++i) {
    EXPECT_EQ(accepted.count(tether::kCameraModels[i].id), 1u) << tether::kCameraModels[i].id;
  }
}

// Every pair of stored and reported id: the K Mk 3 is recognised by the id we
// stored, the other five by the id the disconnection reports.
TEST(CameraModelsTest, DisconnectionIsRecognisedByStoredOrReportedIdPerModel) {
  const int32_t ids[] = {0, 1, 8201, 8209, 8225, 8241, 8257, 8273, 12289};
  for (int32_t stored : ids) {
    for (int32_t reported : ids) {
      const bool byStored = stored == eKRV_SDK_ModelKMk3 || stored == eKRV_SDK_ModelGeneric;
      const bool expected = byStored ||
                            (reported >= 8201 && reported != eKRV_SDK_ModelKMk3 &&
                             reported != eKRV_SDK_ModelGeneric);
      EXPECT_EQ(tether::IsDisconnectionReported(stored, reported), expected)
          << stored << " / " << reported;
    }
  }
}

}  // namespace
