#include "Usage.h"

namespace pellum {

namespace {

// One line per command and one for what it does, within 80 columns for any terminal.
constexpr std::string_view kUsage =
    R"(Usage: PellumConnector COMMAND [ARGUMENT ...]

Lets AI clients that you have authorised in your Pellum account use MCP servers
that run only on this computer. Each command prints one result line, or one
error line on standard error with exit status 1.

Commands:
  enroll [--endpoint URL]
      Enrol with the code on standard input; start now and at every login.
  start [--cloudflared PATH]
      Run the connector in the foreground until SIGTERM or Ctrl-C.
  service status
      Show whether the connector runs as a user service, and its log file.
  service install
      Start the connector now and at every login (a systemd user service).
  service restart
      Restart the user service (the same as service install).
  service uninstall
      Stop and remove the user service; the enrolment stays.
  cloudflared update
      Download, verify and install the latest Cloudflare tunnel client.
  list
      Show this computer's device name, service URL and local services.
  add NAMESPACE [--name NAME] --url URL [--headers-input | --headers-file PATH]
      Add a loopback HTTP MCP service; --headers-input reads JSON on stdin.
  add NAMESPACE [--name NAME] [--env NAME,...] -- COMMAND [ARGUMENT ...]
      Add a stdio MCP service run as COMMAND, given the --env variables.
  remove NAMESPACE
      Remove a local service.
  headers NAMESPACE (--clear | --headers-input | --headers-file PATH)
      Replace or clear the headers sent to a local HTTP service.
  check [NAMESPACE]
      Start each local service as the connector would; report its answers.
  help, --help, -h
      Show this text.
  --version
      Show the version line.

A NAMESPACE is a lower-case letter followed by up to 23 lower-case letters,
digits or hyphens; the cloud service reaches the service under it.

Configuration lives in ~/.pellum, or in the directory named by
PELLUM_CONFIG_DIR: config.json (written by these commands), secrets.env
(yours: NAME=value lines for the variables that services name), and the logs
service.log and service-error.log.

Enrolment codes: sign in to your dashboard at https://pellum.zendrel.com/app,
create a device there and copy its code.
)";

} // namespace

bool isUsageWord(std::string_view word) {
  return word == "help" || word == "--help" || word == "-h";
}

std::string_view usageText() { return kUsage; }

} // namespace pellum
