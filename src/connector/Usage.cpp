#include "Usage.h"

namespace pellum {

namespace {

// Kept within 80 columns so that it reads in any terminal.
constexpr std::string_view kUsage =
    R"(Usage: PellumConnector COMMAND [ARGUMENT ...]

Lets AI clients that you have authorised in your Pellum account use MCP servers
that run only on this computer. Each command prints one result line, or one
error line on standard error with exit status 1.

Commands:
  enroll [--endpoint URL]
      Enrol this computer with the code read from standard input, then start
      the connector now and at every login.
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
      Add a local HTTP MCP service at a loopback URL; --headers-input reads
      its headers as a JSON object from standard input.
  add NAMESPACE [--name NAME] [--env NAME,...] -- COMMAND [ARGUMENT ...]
      Add a local stdio MCP service: the program the connector starts, with
      the environment variables named by --env passed on to it.
  remove NAMESPACE
      Remove a local service.
  headers NAMESPACE (--clear | --headers-input | --headers-file PATH)
      Replace or clear the headers sent to a local HTTP service.
  check [NAMESPACE]
      Start each local service the way the connector runs it and report what
      it answers.
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
