#include "host/cli/ControlCommands.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>

#include <CLI/CLI.hpp>

#include "host/cli/CommandSupport.h"
#include "host/saving/OutputFiles.h"
#include "host/session/CameraControl.h"
#include "source/ProtocolNames.h"

namespace tether_host {

namespace proto = tether::proto;

namespace {

constexpr int kReplyTimeoutMs = 10000;  // the task waits 2 s for a camera's confirmation

// Why a wait ended early, and the exit code that says it.
int Failed(CameraControl::Wait w, TaskProcess* task) {
  switch (w) {
    case CameraControl::Wait::kDone:
      return kExitOk;
    case CameraControl::Wait::kTimeout:
      Say("no answer from the task");
      return kExitCaptureFailed;
    case CameraControl::Wait::kTaskEnded:
      return ReportUnexpectedExit(task);
    case CameraControl::Wait::kBadFrame:
      Say("the task's output does not parse: " + task->error());
      return kExitBadFrame;
    case CameraControl::Wait::kInterrupted:
      return kExitInterrupted;
  }
  return kExitCaptureFailed;
}

// "no camera" is exit 4; anything else the camera could not do, exit 6.
int ErrorExit(const std::string& error) {
  Say(error);
  return error == proto::kNoCamera ? kExitNoCamera : kExitCaptureFailed;
}

// Starts the task, waits for a camera, runs `body`, shuts the task down.
int WithCamera(const TaskLaunch& launch, int cameraTimeoutMs,
               const std::function<int(CameraControl&, TaskProcess*)>& body) {
  StopSignals stop;
  RunningTask running;
  if (const int code = StartTask(launch, &running)) return code;
  TaskProcess* task = running.task.get();
  CameraControl control(task, stop.fd());
  int code;
  const CameraControl::Wait w = control.waitForCamera(cameraTimeoutMs);
  if (w == CameraControl::Wait::kTimeout) {
    Say("no camera is connected");
    code = kExitNoCamera;
  } else if (w != CameraControl::Wait::kDone) {
    code = Failed(w, task);
  } else {
    code = body(control, task);
  }
  std::fflush(stdout);
  if (code == kExitInterrupted) stop.drain();
  if (!task->hasExited()) ShutDown(task, &stop);
  SayLeftovers(task->removeTempDir());
  return code;
}

std::string Shown(ZyLuaTE* value) {
  if (value == nullptr) return "?";
  if (value->mType == ZyLuaTE::kString) return static_cast<std::string>(*value);
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(*value));
  return text;
}

// One line per setting: its label, its choices, read-only and Kelvin.
void PrintChoices(const HostMessage& reply, const std::string& camera) {
  std::printf("Choices%s:\n", camera.empty() ? "" : (" (" + camera + ")").c_str());
  for (const SettingWord& w : kSettingWords) {
    ZyLuaTE* entry = reply.value(w.key);
    if (entry == nullptr || entry->mType != ZyLuaTE::kTable) continue;
    auto* table = static_cast<ZyLuaTETable*>(entry);
    std::string line;
    if (ZyLuaTE* list = table->elementForKey(proto::kChoices); list && list->mType == ZyLuaTE::kTable) {
      auto* choices = static_cast<ZyLuaTETable*>(list);
      for (size_t i = 1; i <= choices->mTable.size(); ++i) {
        line += (line.empty() ? "" : " ") + Shown(choices->elementForKey(static_cast<int>(i)));
      }
    }
    ZyLuaTE* low = table->elementForKey(proto::kKelvinMin);
    ZyLuaTE* high = table->elementForKey(proto::kKelvinMax);
    if (low != nullptr && high != nullptr) line += " " + Shown(low) + "K.." + Shown(high) + "K";
    ZyLuaTE* readOnly = table->elementForKey(proto::kReadOnly);
    if (readOnly != nullptr && static_cast<double>(*readOnly) != 0) line += "  (read-only now)";
    std::printf("  %-14s %s\n", w.word, line.c_str());
  }
}

int RunChoices(const TaskLaunch& launch, const ControlArgs& args) {
  return WithCamera(launch, args.cameraTimeoutMs, [](CameraControl& control, TaskProcess* task) -> int {
    HostMessage reply;
    const auto w = control.request(proto::kGetCameraChoices, nullptr, kReplyTimeoutMs, &reply);
    if (w != CameraControl::Wait::kDone) return Failed(w, task);
    if (auto error = reply.string(proto::kError)) return ErrorExit(*error);
    PrintChoices(reply, control.cameraName());
    return kExitOk;
  });
}

// KEY=VALUE into the request's table; false after saying why.
bool ParseAssignments(const std::vector<std::string>& assignments, ZyLuaTETable* request) {
  for (const std::string& a : assignments) {
    const size_t eq = a.find('=');
    const SettingWord* w = eq == std::string::npos ? nullptr : FindSettingWord(a.substr(0, eq));
    if (w == nullptr) {
      Say("'" + a + "': give KEY=VALUE with KEY one of iso, aperture, shutter, wb");
      return false;
    }
    const std::string value = a.substr(eq + 1);
    if (w->number) {
      char* end = nullptr;
      const double number = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0') {
        Say(std::string(w->word) + " takes a number: '" + value + "'");
        return false;
      }
      request->Set(w->key, new ZyLuaTENumber(number));
    } else {
      request->Set(w->key, new ZyLuaTEString(value));
    }
  }
  return true;
}

int RunSet(const TaskLaunch& launch, const ControlArgs& args) {
  ZyLuaTETable request;
  if (!ParseAssignments(args.assignments, &request)) return kExitUsage;
  return WithCamera(launch, args.cameraTimeoutMs, [&](CameraControl& control, TaskProcess* task) -> int {
    HostMessage reply;
    auto w = control.request(proto::kSetCameraSettings, &request, kReplyTimeoutMs, &reply);
    if (w != CameraControl::Wait::kDone) return Failed(w, task);
    if (auto error = reply.string(proto::kError)) return ErrorExit(*error);
    PrintSettings(reply.value(proto::kSettings), control.cameraName());
    int code = kExitOk;
    bool showChoices = false;
    ZyLuaTE* refused = reply.value(proto::kRefused);
    if (refused != nullptr && refused->mType == ZyLuaTE::kTable) {
      for (const auto& [key, why] : static_cast<ZyLuaTETable*>(refused)->mTable) {
        const std::string reason = Shown(why);
        std::string word = Shown(key);
        for (const SettingWord& s : kSettingWords) {
          if (word == s.key) word = s.word;
        }
        Say(word + " not set: " + reason);
        if (reason == proto::kNotAmongChoices || reason == proto::kNotASetting) {
          showChoices = true;
          if (code == kExitOk) code = kExitUsage;
        } else if (reason == proto::kNoCamera) {
          code = kExitNoCamera;
        } else {
          code = kExitCaptureFailed;
        }
      }
    }
    if (showChoices) {
      HostMessage choices;
      w = control.request(proto::kGetCameraChoices, nullptr, kReplyTimeoutMs, &choices);
      if (w == CameraControl::Wait::kDone && !choices.string(proto::kError)) {
        PrintChoices(choices, control.cameraName());
      }
    }
    return code;
  });
}

int RunLiveView(const TaskLaunch& launch, const ControlArgs& args) {
  std::string error;
  if (!MakeDirectories(args.outDir, &error)) {
    Say(error);
    return kExitUsage;
  }
  return WithCamera(launch, args.cameraTimeoutMs, [&](CameraControl& control, TaskProcess* task) -> int {
    HostMessage reply;
    auto w = control.request(proto::kStartLiveView, nullptr, kReplyTimeoutMs, &reply);
    if (w != CameraControl::Wait::kDone) return Failed(w, task);
    if (auto error = reply.string(proto::kError)) return ErrorExit(*error);
    int code = kExitOk;
    for (int saved = 0; saved < args.frames;) {
      std::vector<uint8_t> jpeg;
      uint32_t sequence = 0;
      bool stopped = false;
      w = control.nextFrame(kReplyTimeoutMs, &jpeg, &sequence, &stopped);
      if (w != CameraControl::Wait::kDone) return Failed(w, task);
      if (stopped) {
        Say("live view stopped: the camera went away");
        return kExitNoCamera;
      }
      char base[32];
      std::snprintf(base, sizeof base, "live-%06u", sequence);
      std::string path, why;
      if (!WriteUniqueFile(args.outDir, base, ".jpg", 0, jpeg.data(), jpeg.size(), &path, &why)) {
        Say(why);
        code = kExitCaptureFailed;
        break;
      }
      std::printf("%s\n", path.c_str());
      ++saved;
    }
    control.request(proto::kStopLiveView, nullptr, kReplyTimeoutMs, &reply);
    return code;
  });
}

}  // namespace

void AddControlCommands(CLI::App* app, ControlArgs* args) {
  const auto timeout = [args](CLI::App* sub) {
    sub->add_option_function<double>(
           "--timeout", [args](double s) { args->cameraTimeoutMs = static_cast<int>(s * 1000); },
           "wait this long for a camera (default 5)")
        ->type_name("S")
        ->check(CLI::Range(0.0, 86400.0));
    sub->footer(kExitCodeHelp);
  };
  timeout(app->add_subcommand("choices", "print the values each setting of the camera takes now"));
  CLI::App* set = app->add_subcommand(
      "set",
      "set the camera: KEY=VALUE with KEY iso, aperture, shutter or wb and VALUE as 'choices'\n"
      "prints it (iso=800 shutter=1/250 wb=Daylight wb=5600K); prints the settings after the\n"
      "change; a value not among the choices exits 1, a refusal by the camera 6");
  set->add_option("assignments", args->assignments, "KEY=VALUE ...")->required();
  timeout(set);
  CLI::App* live = app->add_subcommand(
      "liveview", "save N live view frames into --out as live-<frame number>.jpg");
  live->add_option("--frames", args->frames, "how many (default 10)")
      ->type_name("N")
      ->check(CLI::Range(1, 100000));
  live->add_option("--out", args->outDir, "folder for the frames (created with its parents)")
      ->type_name("DIR")
      ->required();
  timeout(live);
}

int RunControlCommand(const CLI::App& app, const TaskLaunch& launch, const ControlArgs& args) {
  if (app.got_subcommand("choices")) return RunChoices(launch, args);
  if (app.got_subcommand("set")) return RunSet(launch, args);
  if (app.got_subcommand("liveview")) return RunLiveView(launch, args);
  return -1;
}

}  // namespace tether_host
