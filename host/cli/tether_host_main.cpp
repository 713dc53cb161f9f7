// tether-host: starts the tether task and talks to it from the command line.
// Its own lines and errors go to stderr; results (watch's JSON, the tables,
// the tethered session's pictures) go to stdout; the task's log goes to a
// file.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "host/cli/CommandSupport.h"
#include "host/cli/Commands.h"
#include "host/cli/ServeCommand.h"

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
  WatchArgs watch;
  CaptureOptions capture;
  int settingsTimeoutMs = 5000;
  TetherArgs tether;
  ServeArgs serve;
};

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
  capture->add_option("-n", p->capture.count, "pictures to take (default 1)")
      ->type_name("N")
      ->check(CLI::Range(1, 100000));
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
      "until Ctrl-C (or N pictures); waits for the camera, also after it disconnects");
  AddOut(tether, &p->tether.options.outDir)->required();
  AddPattern(tether, &p->tether.options.filenamePattern);
  tether->add_option("--hook", p->tether.hook,
                     "run CMD after each saved file, with the file's path as its argument and\n"
                     "TETHER_ACTION=file_saved, TETHER_CAPTURE_ID, TETHER_FILE_KIND (thumbnail,\n"
                     "dng, jpeg) in its environment")
      ->type_name("CMD");
  tether->add_option("-n", p->tether.options.count, "end after N pictures")
      ->type_name("N")
      ->check(CLI::Range(1, 100000));
  CLI::App* serve = app->add_subcommand(
      "serve",
      "tether as 'tether' does and show each picture live in a browser; the first line\n"
      "printed is the page's address with its access token");
  AddOut(serve, &p->serve.tether.options.outDir)->description("folder for the pictures (default .)");
  AddPattern(serve, &p->serve.tether.options.filenamePattern);
  serve->add_option("--port", p->serve.server.port, "TCP port of the page; 0 (default) picks a free one")
      ->type_name("N")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--bind", p->serve.server.bindAddress,
                    "address to serve on (default 127.0.0.1; 0.0.0.0 lets other screens in)")
      ->type_name("ADDR");
  for (CLI::App* sub : {watch, capture, settings, tether, serve}) sub->footer(kExitCodeHelp);
}

int UsageError(const std::string& why) {
  Say(why);
  std::fprintf(stderr, "Run 'tether-host --help' for usage.\n");
  return kExitUsage;
}

// A pattern is checked before anything starts.
bool PatternOk(const std::string& pattern) {
  FilenamePattern parsed;
  std::string error;
  if (FilenamePattern::parse(pattern, &parsed, &error)) return true;
  UsageError(error);
  return false;
}

int Dispatch(CLI::App& app, Parsed& p) {
  if (app.got_subcommand("watch")) return runWatch(p.launch, p.watch);
  if (app.got_subcommand("capture")) {
    if (!PatternOk(p.capture.filenamePattern)) return kExitUsage;
    return runCapture(p.launch, p.capture);
  }
  if (app.got_subcommand("settings")) return runSettings(p.launch, p.settingsTimeoutMs);
  if (app.got_subcommand("serve")) {
    if (!PatternOk(p.serve.tether.options.filenamePattern)) return kExitUsage;
    p.serve.tether.options.launch = p.launch;
    return runServe(p.serve);
  }
  if (!PatternOk(p.tether.options.filenamePattern)) return kExitUsage;
  p.tether.options.launch = p.launch;
  return runTether(p.tether);
}

int Main(int argc, char** argv) {
  // A closed stdout shows as a failed write; the task is started with
  // SIGPIPE back at its default.
  signal(SIGPIPE, SIG_IGN);
  CLI::App app("usage: tether-host [--task PATH] [--task-log FILE] [-v] COMMAND [OPTIONS]\n\n"
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
  AddCommands(&app, &p);
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
    return UsageError(e.what());
  }
  return Dispatch(app, p);
}

}  // namespace
}  // namespace tether_host

int main(int argc, char** argv) { return tether_host::Main(argc, argv); }
