// tether-host: starts the tether task and talks to it from the command line.
// Its own lines and errors go to stderr; results (watch's JSON, the tables,
// the tethered session's pictures) go to stdout; the task's log goes to a
// file.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "host/cli/CommandSupport.h"
#include "host/cli/ControlCommands.h"
#include "host/cli/Commands.h"
#include "host/cli/ServeCommand.h"
#include "host/session/LeftoverRecovery.h"

namespace tether_host {
namespace {

// Seconds given on the command line, as a positive whole number of ms.
// `alsoMs`, when given, gets the same value.
CLI::Option* AddSeconds(CLI::App* app, const std::string& name, int* ms, const std::string& help,
                        int* alsoMs = nullptr) {
  return app
      ->add_option_function<double>(
          name,
          [ms, alsoMs](double s) {
            *ms = static_cast<int>(s * 1000 + 0.5);
            if (alsoMs != nullptr) *alsoMs = *ms;
          },
          help)
      ->type_name("SECONDS")
      ->check(CLI::Range(0.001, 86400.0));
}

// "-n two" is not a number at all, which a range check would not say.
const CLI::Validator kWholeNumber(
    [](std::string& text) {
      const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
      return digits ? std::string() : "takes a whole number, not '" + text + "'";
    },
    "N");

CLI::Option* AddCount(CLI::App* app, int* count, const std::string& help) {
  return app->add_option("-n", *count, help)
      ->type_name("N")
      ->check(kWholeNumber)
      ->check(CLI::Range(1, 100000));
}

CLI::Option* AddOut(CLI::App* app, std::string* dir) {
  // "out/" and "out" name one folder; without the slash, paths print once-slashed.
  const auto withoutTrailingSlashes = [](std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
  };
  return app->add_option("--out", *dir, "folder for the pictures (created with its parents)")
      ->type_name("DIR")
      ->transform(withoutTrailingSlashes);
}

CLI::Option* AddPattern(CLI::App* app, std::string* pattern) {
  return app
      ->add_option("--filename", *pattern,
                   "file names: %f camera's name, %C extension, %n picture number,\n"
                   "%Y %m %d %H %M %S capture time, %% a percent sign; '/' makes folders;\n"
                   "default " + std::string(kDefaultFilenamePattern))
      ->type_name("PATTERN");
}

struct Parsed {
  TaskLaunch launch;
  std::string camera = "sim";
  WatchArgs watch;
  CaptureOptions capture;
  int settingsTimeoutMs = 5000;
  TetherArgs tether;
  ServeArgs serve;
  std::string recoverOut;
  std::string recoverPattern = kDefaultFilenamePattern;
  ControlArgs control;
};

// What `tether` and `serve` share beside --out.
void AddSessionOptions(CLI::App* app, TetherArgs* args) {
  AddPattern(app, &args->options.filenamePattern);
  app->add_option("--hook", args->hook,
                  "run CMD after each saved file, with the file's path as its argument and\n"
                  "TETHER_ACTION=file_saved, TETHER_CAPTURE_ID, TETHER_FILE_KIND (thumbnail,\n"
                  "dng, jpeg) in its environment")
      ->type_name("CMD");
  AddCount(app, &args->options.count, "end after N pictures");
}

void AddCommands(CLI::App* app, Parsed* p) {
  CLI::App* watch = app->add_subcommand(
      "watch", "print every message from the task as one line of JSON until it ends or Ctrl-C");
  watch->add_option("--save-data", p->watch.saveDataDir,
                    "also write each data value to a new file in DIR (its path is added as \"path\")")
      ->type_name("DIR");
  AddOut(watch, &p->watch.outDir)
      ->description("move the task's files into DIR as tether does (without it they stay in the\n"
                    "session's temporary folder, which is kept)");

  CLI::App* capture = app->add_subcommand(
      "capture", "wait for a camera, take N pictures, save them into --out, print what was saved");
  p->capture.cameraTimeoutMs = p->capture.captureTimeoutMs = 30000;
  AddCount(capture, &p->capture.count, "pictures to take (default 1)");
  AddOut(capture, &p->capture.outDir);
  AddPattern(capture, &p->capture.filenamePattern);
  AddSeconds(capture, "--timeout", &p->capture.captureTimeoutMs,
             "bound on the wait for the camera and for each picture (default 30)",
             &p->capture.cameraTimeoutMs);
  AddSeconds(capture, "--quiet", &p->capture.quietMs,
             "a picture with its thumbnail and one file is complete after this long without\n"
             "news of it (default 2)");

  CLI::App* settings = app->add_subcommand(
      "settings", "print ISO, aperture, shutter time and white balance of the camera");
  AddSeconds(settings, "--timeout", &p->settingsTimeoutMs, "wait this long for a camera (default 5)");

  CLI::App* tether = app->add_subcommand(
      "tether",
      "save every picture the camera takes, shutter pressed on the camera or Enter here,\n"
      "until Ctrl-C (or N pictures); waits for the camera, also after it disconnects.\n"
      "Keys: i/I, a/A, s/S step ISO, aperture, shutter down/up through the camera's choices");
  AddOut(tether, &p->tether.options.outDir)->required();
  AddSessionOptions(tether, &p->tether);
  CLI::App* serve = app->add_subcommand(
      "serve",
      "tether as 'tether' does and show each picture live in a browser; the first line\n"
      "printed is the page's address with its access token (after '#')");
  AddOut(serve, &p->serve.tether.options.outDir)->description("folder for the pictures (default .)");
  AddSessionOptions(serve, &p->serve.tether);
  serve->add_option("--port", p->serve.server.port, "TCP port of the page; 0 (default) picks a free one")
      ->type_name("N")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--bind", p->serve.server.bindAddress,
                    "address to serve on (default 127.0.0.1; 0.0.0.0 lets other screens in)")
      ->type_name("ADDR");
  CLI::App* recover = app->add_subcommand(
      "recover",
      "move the pictures that a killed tether-host left in its temporary folders into\n"
      "--out (named as --filename says, the camera's names being lost: capture<id>)");
  AddOut(recover, &p->recoverOut)->required();
  AddPattern(recover, &p->recoverPattern);
  CLI::App* cameras = app->add_subcommand(
      "cameras",
      "list the cameras libgphoto2 detects (model and port), one a line; Wi-Fi cameras are\n"
      "never detected: name them with --camera ptpip:ADDR");
  for (CLI::App* sub : {watch, capture, settings, tether, serve, recover, cameras}) sub->footer(kExitCodeHelp);
}

// `command` empty: the usage of tether-host as a whole.
int UsageError(const std::string& why, const std::string& command = "") {
  Say(why);
  std::fprintf(stderr, "Run 'tether-host %s--help' for usage.\n",
               command.empty() ? "" : (command + " ").c_str());
  return kExitUsage;
}

// A pattern is checked before anything starts; what it would make awkwardly
// is said, and the session goes on.
bool PatternOk(const std::string& pattern, const std::string& command) {
  FilenamePattern parsed;
  std::string error;
  if (!FilenamePattern::parse(pattern, &parsed, &error)) {
    UsageError(error, command);
    return false;
  }
  for (const std::string& warning : FilenamePattern::warnings(pattern)) Say("warning: " + warning);
  return true;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// The option of `app` closest to `name` when it is close enough to be a slip.
std::string NearestOption(CLI::App* app, const std::string& name) {
  std::string best;
  size_t bestDistance = std::max<size_t>(2, name.size() / 3) + 1;
  for (const CLI::Option* option : app->get_options()) {
    std::vector<std::string> names;
    for (const std::string& l : option->get_lnames()) names.push_back("--" + l);
    for (const std::string& s : option->get_snames()) names.push_back("-" + s);
    for (const std::string& candidate : names) {
      const size_t d = EditDistance(name, candidate);
      if (d < bestDistance) bestDistance = d, best = candidate;
    }
  }
  return best;
}

// Finds an option that `app` (or the command given) does not know before
// the parser does, which would say something beside the point ("--out is
// required" for "--ot"). Returns the usage error, or -1 when all is known.
int CheckOptionNames(CLI::App* app, int argc, char** argv) {
  CLI::App* current = app;
  std::string command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") break;
    if (arg.size() < 2 || arg[0] != '-' || arg.find_first_not_of("0123456789.", 1) == std::string::npos) {
      if (current != app) continue;
      for (CLI::App* sub : app->get_subcommands({})) {
        if (sub->check_name(arg)) current = sub, command = arg;
      }
      continue;
    }
    const bool isLong = arg[1] == '-';
    const std::string name = isLong ? arg.substr(0, arg.find('=')) : arg.substr(0, 2);
    const CLI::Option* option = current->get_option_no_throw(name);
    if (option == nullptr) {
      const std::string nearest = NearestOption(current, name);
      return UsageError("unknown option '" + name + "'" +
                            (command.empty() ? "" : " for '" + command + "'") +
                            (nearest.empty() ? "" : "; did you mean '" + nearest + "'?"),
                        command);
    }
    const bool valueAttached = isLong ? arg.find('=') != std::string::npos : arg.size() > 2;
    if (option->get_items_expected_max() > 0 && !valueAttached) ++i;  // its value
  }
  return -1;
}

int Dispatch(CLI::App& app, Parsed& p) {
  if (const std::string problem = CameraWordProblem(p.camera); !problem.empty()) {
    return UsageError(problem);
  }
  if (app.got_subcommand("recover")) {
    if (!PatternOk(p.recoverPattern, "recover")) return kExitUsage;
    return runRecover(p.recoverOut, p.recoverPattern);
  }
  if (app.got_subcommand("cameras")) return runCameras(p.launch);
  // A killed run's pictures are told of at every start until recovered.
  const std::string leftovers = DescribeLeftovers(PrivateTempDir::findAbandoned(""));
  if (!leftovers.empty()) Say(leftovers);
  if (std::string error; !AddCameraEnvironment(p.camera, &p.launch, &error)) {
    Say(error);
    return kExitNoTask;
  }
  if (const int code = RunControlCommand(app, p.launch, p.control); code >= 0) return code;
  if (app.got_subcommand("watch")) {
    for (const std::string& dir : {p.watch.saveDataDir, p.watch.outDir}) {
      if (!dir.empty() && !PrepareOutputFolder(dir)) return kExitUsage;
    }
    return runWatch(p.launch, p.watch);
  }
  if (app.got_subcommand("capture")) {
    if (!PatternOk(p.capture.filenamePattern, "capture")) return kExitUsage;
    if (!PrepareOutputFolder(p.capture.outDir)) return kExitUsage;
    return runCapture(p.launch, p.capture);
  }
  if (app.got_subcommand("settings")) return runSettings(p.launch, p.settingsTimeoutMs);
  TetherArgs& tether = app.got_subcommand("serve") ? p.serve.tether : p.tether;
  if (!PatternOk(tether.options.filenamePattern, app.got_subcommand("serve") ? "serve" : "tether") ||
      !PrepareOutputFolder(tether.options.outDir)) {
    return kExitUsage;
  }
  tether.options.launch = p.launch;
  return app.got_subcommand("serve") ? runServe(p.serve) : runTether(p.tether);
}

int Main(int argc, char** argv) {
  // A closed stdout shows as a failed write; the task is started with
  // SIGPIPE back at its default.
  signal(SIGPIPE, SIG_IGN);
  CLI::App app("usage: tether-host [--camera CAMERA] [--task PATH] [--task-log FILE] [-v] COMMAND [OPTIONS]\n\n"
               "Starts the camera tether task as a child process and talks to it over the task's\n"
               "standard input and output. 'tether-host COMMAND --help' tells more of each command.",
               "tether-host");
  app.footer(kExitCodeHelp);
  app.set_version_flag("--version", "tether-host " TETHER_VERSION, "print the version and exit");
  app.require_subcommand(1);
  Parsed p;
  app.add_option("--task", p.launch.taskPath, "the task executable (default: " + DefaultTaskPath() + ")")
      ->type_name("PATH");
  app.add_option("--task-log", p.launch.taskLogPath,
                 "append the task's log to FILE (default: " + DefaultTaskLogPath() + ")")
      ->type_name("FILE");
  app.add_flag("-v,--verbose", p.launch.verbose, "also show the task's log as it comes");
  app.add_option("--camera", p.camera,
                 "sim (the simulated camera, the default), usb (the first camera libgphoto2\n"
                 "detects), usb:BUS,DEV, or ptpip:ADDR[:PORT[:EVENTPORT]] (a Wi-Fi camera)")
      ->type_name("CAMERA");
  AddCommands(&app, &p);
  AddControlCommands(&app, &p.control);
  if (const int code = CheckOptionNames(&app, argc, argv); code >= 0) return code;
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help or --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    if (app.get_subcommands().empty() && !app.remaining().empty()) {
      return UsageError("unknown command '" + app.remaining().front() + "'");
    }
    if (app.get_subcommands().empty() && dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
      std::fputs(app.help().c_str(), stderr);  // no command at all
      return kExitUsage;
    }
    const std::vector<CLI::App*> given = app.get_subcommands();
    std::string why = e.what();
    const size_t colon = why.find(": takes a whole number");  // "-n takes a whole number"
    if (colon != std::string::npos) why.erase(colon, 1);
    return UsageError(why, given.empty() ? "" : given.front()->get_name());
  }
  return Dispatch(app, p);
}

}  // namespace
}  // namespace tether_host

int main(int argc, char** argv) { return tether_host::Main(argc, argv); }
