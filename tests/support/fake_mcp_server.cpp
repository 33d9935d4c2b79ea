// A small MCP server speaking newline-delimited JSON-RPC on standard input and output, with
// misbehaviours chosen on the command line. Used by the stdio session and bridge tests.

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using nlohmann::json;

constexpr const char *kUsage =
    R"(usage: fake_mcp_server [--mode MODE] [--log FILE] [--delay MS] [--pid-file FILE]
                       [--require NAME] [--show NAME] [--lines N] [--width BYTES]

Serves MCP over standard input and output, one JSON message per line.

Modes:
  normal                 answer initialize, ping, tools/list, tools/call, prompts/list,
                         resources/list and resources/read (the default)
  banner                 print a line of plain text before anything else
  silent                 read everything, answer nothing
  garbage                answer tools/call with a line that is not JSON
  oversized              answer tools/call with a valid JSON line of 2 MiB + 1 byte
  unterminated           answer tools/call with 2 MiB + 1 bytes and no line feed
  reverse                hold tools/call requests until two are waiting, answer the later first
  server-request         on tools/call, send a notification and a "sampling/createMessage"
                         request (its id equal to the tools/call's), then answer the tools/call
                         with {"reply": the next message received}
  old-version            answer initialize with protocol version "2024-10-07"
  initialize-error       answer initialize with a JSON-RPC error
  error                  answer tools/call with a JSON-RPC error
  hang-tools-call        never answer tools/call
  exit-after-initialize  exit right after answering initialize
  ignore-sigterm         ignore SIGTERM and keep running after standard input ends
  crash                  write --lines lines (30 unless given) "crash line 1", … to standard
                         error, each padded with dots to --width bytes, and exit with status 3
  flood-initialize       on initialize, first send 16 requests with methods of 1 MiB each, then
                         answer it, then never read again
  flood                  the same on tools/call, after a normal handshake
  grandchild             start a process that ignores SIGTERM and the end of its input and
                         lives on; otherwise normal
  unordered-schema       list a tool whose schema members are not in alphabetical order

Tools of tools/call (by "name"):
  echo         result {"content": [text], "arguments": the arguments}
  environment  result {"environment": {...}, "cwd": "...", "arguments": [argv...]}
  pad          arguments {"bytes": N}: the answer line is exactly N bytes long
  decoy        first answers with a string id and with an unknown id, then properly

--log FILE appends every line received to FILE.
--pid-file FILE writes the server's process id (and its grandchild's, one a line) to FILE.
--delay MS waits MS milliseconds before handling each tools/call.
--require NAME exits with status 1 at once, saying so on standard error, when the environment
  variable NAME is not set.
--show NAME first writes NAME=its value to standard error (and into the banner line).
)";

std::vector<std::string> gArguments;

void send(const json &message) { std::cout << message.dump() << '\n' << std::flush; }

json answer(const json &id, json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

json initializeResult(const json &request, const std::string &mode) {
  std::string version = "2025-11-25";
  if (mode == "old-version") {
    version = "2024-10-07";
  } else if (auto params = request.find("params");
             params != request.end() && params->is_object() &&
             params->value("protocolVersion", json()).is_string()) {
    std::string wanted = (*params)["protocolVersion"];
    for (const char *known : {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"}) {
      if (wanted == known) {
        version = wanted;
      }
    }
  }
  return {{"protocolVersion", version},
          {"capabilities",
           {{"tools", {{"listChanged", true}}},
            {"prompts", json::object()},
            {"logging", json::object()},
            {"experimental", {{"x", json::object()}}}}},
          {"serverInfo", {{"name", "fake-mcp-server"}, {"version", "1.0.0"}}},
          {"instructions", "Fake server for tests."}};
}

json environmentResult() {
  json variables = json::object();
  for (char **entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    auto equals = text.find('=');
    if (equals != std::string::npos) {
      variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
  }
  std::vector<char> cwd(4096);
  return {{"environment", variables},
          {"cwd", getcwd(cwd.data(), cwd.size()) ? std::string(cwd.data()) : ""},
          {"arguments", gArguments}};
}

void padded(const json &id, std::size_t bytes) {
  json message = answer(id, {{"pad", ""}});
  std::size_t base = message.dump().size();
  message["result"]["pad"] = std::string(bytes > base ? bytes - base : 0, 'x');
  send(message);
}

void callTool(const json &request) {
  const json &id = request["id"];
  json params = request.value("params", json::object());
  std::string name = params.value("name", "");
  json arguments = params.value("arguments", json::object());
  if (name == "environment") {
    send(answer(id, environmentResult()));
  } else if (name == "pad") {
    padded(id, arguments.value("bytes", std::size_t{0}));
  } else if (name == "decoy") {
    send(answer(id.dump(), {{"decoy", "string id"}}));
    send(answer(id.get<long long>() + 1000, {{"decoy", "unknown id"}}));
    send(answer(id, {{"decoy", false}}));
  } else {
    std::string text = arguments.contains("text") && arguments["text"].is_string()
                           ? arguments["text"].get<std::string>()
                           : arguments.dump();
    send(answer(id, {{"content", {{{"type", "text"}, {"text", text}}}}, {"arguments", arguments}}));
  }
}

// Requests of the server's own that it never waits for, then no more reading: whatever answers
// them piles up in front of its standard input.
void flood() {
  for (int i = 0; i < 16; ++i) {
    send({{"jsonrpc", "2.0"}, {"id", 1000 + i}, {"method", std::string(1 << 20, 'm')}});
  }
}

[[noreturn]] void stopReading() {
  for (;;) {
    pause();
  }
}

// A process of the server's group that outlives it and ignores SIGTERM and the end of input.
pid_t startGrandchild() {
  pid_t pid = fork();
  if (pid == 0) {
    std::signal(SIGTERM, SIG_IGN);
    for (;;) {
      pause();
    }
  }
  return pid;
}

} // namespace

int main(int argc, char **argv) {
  std::string mode = "normal";
  std::string logPath;
  std::string delay = "0";
  std::vector<std::string> required;
  std::string shown;
  std::size_t lines = 30;
  std::size_t width = 0;
  std::string pidPath;
  for (int i = 0; i < argc; ++i) {
    gArguments.push_back(argv[i]);
  }
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if ((argument == "--mode" || argument == "--log" || argument == "--delay" ||
         argument == "--pid-file") &&
        i + 1 < argc) {
      (argument == "--mode"    ? mode
       : argument == "--log"   ? logPath
       : argument == "--delay" ? delay
                               : pidPath) = argv[++i];
    } else if (argument == "--require" && i + 1 < argc) {
      required.push_back(argv[++i]);
    } else if (argument == "--show" && i + 1 < argc) {
      shown = argv[++i];
    } else if ((argument == "--lines" || argument == "--width") && i + 1 < argc) {
      (argument == "--lines" ? lines : width) = std::strtoul(argv[++i], nullptr, 10);
    } else if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }
  for (const std::string &name : required) {
    if (std::getenv(name.c_str()) == nullptr) {
      std::cerr << name << " is not set" << std::endl;
      return 1;
    }
  }
  std::string shownValue;
  if (!shown.empty()) {
    const char *value = std::getenv(shown.c_str());
    shownValue = shown + "=" + (value ? value : "");
    std::cerr << shownValue << std::endl;
  }
  if (mode == "ignore-sigterm") {
    std::signal(SIGTERM, SIG_IGN);
  }
  if (!pidPath.empty()) {
    std::ofstream pids(pidPath);
    pids << getpid() << '\n';
    if (mode == "grandchild") {
      pids << startGrandchild() << '\n';
    }
  }
  if (mode == "banner") {
    std::cout << "fake MCP server starting up" << (shown.empty() ? "" : " with " + shownValue)
              << "\n"
              << std::flush;
  }
  if (mode == "crash") {
    for (std::size_t i = 1; i <= lines; ++i) {
      std::string line = "crash line " + std::to_string(i);
      line.resize(std::max(line.size(), width), '.');
      std::cerr << line << '\n';
    }
    std::cerr << std::flush;
    return 3;
  }

  std::vector<json> held;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!logPath.empty()) {
      std::ofstream(logPath, std::ios::app) << line << '\n';
    }
    json request = json::parse(line, nullptr, false);
    if (!request.is_object() || !request.contains("method") || !request.contains("id")) {
      continue; // notifications and answers
    }
    const json &id = request["id"];
    std::string method = request.value("method", "");
    if (mode == "silent") {
      continue;
    }
    if (method == "initialize") {
      if (mode == "flood-initialize") {
        flood();
        send(answer(id, initializeResult(request, mode)));
        stopReading();
      }
      if (mode == "initialize-error") {
        send({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", -32000}, {"message", "no"}}}});
        continue;
      }
      send(answer(id, initializeResult(request, mode)));
      if (mode == "exit-after-initialize") {
        return 0;
      }
    } else if (method == "ping") {
      send(answer(id, json::object()));
    } else if (method == "tools/list" && mode == "unordered-schema") {
      // Written by hand: the library would sort the members.
      std::cout << R"({"jsonrpc":"2.0","id":)" << id.dump()
                << R"(,"result":{"tools":[{"name":"create","inputSchema":{"type":"object",)"
                << R"("properties":{"zeta":{"type":"string"},"alpha":{"type":"number",)"
                << R"("maximum":1e2}},"required":["zeta"]}}]}})" << '\n'
                << std::flush;
    } else if (method == "tools/list") {
      send(answer(id, {{"tools",
                        {{{"name", "echo"}, {"inputSchema", {{"type", "object"}}}},
                         {{"name", "environment"}, {"inputSchema", {{"type", "object"}}}}}}}));
    } else if (method == "prompts/list") {
      send(answer(id, {{"prompts", {{{"name", "greet"}}}}}));
    } else if (method == "resources/list") {
      send(answer(id, {{"resources", {{{"uri", "fake://one"}, {"name", "one"}}}}}));
    } else if (method == "resources/read") {
      std::string uri = request.value("params", json::object()).value("uri", "");
      send(answer(id, {{"contents", {{{"uri", uri}, {"text", "contents of " + uri}}}}}));
    } else if (method == "tools/call") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::atoll(delay.c_str())));
      if (mode == "hang-tools-call") {
        continue;
      } else if (mode == "flood") {
        flood();
        stopReading();
      } else if (mode == "garbage") {
        std::cout << "this is not JSON\n" << std::flush;
      } else if (mode == "oversized") {
        padded(id, 2097153);
      } else if (mode == "unterminated") {
        std::cout << std::string(2097153, 'x') << std::flush;
      } else if (mode == "error") {
        send({{"jsonrpc", "2.0"},
              {"id", id},
              {"error", {{"code", -32000}, {"message", "tool failed"}}}});
      } else if (mode == "reverse") {
        held.push_back(request);
        if (held.size() == 2) {
          callTool(held[1]);
          callTool(held[0]);
          held.clear();
        }
      } else if (mode == "server-request") {
        send({{"jsonrpc", "2.0"},
              {"method", "notifications/message"},
              {"params", {{"level", "info"}, {"data", "hello"}}}});
        send({{"jsonrpc", "2.0"}, {"id", id}, {"method", "sampling/createMessage"}});
        std::string reply;
        std::getline(std::cin, reply);
        send(answer(id, {{"reply", json::parse(reply, nullptr, false)}}));
      } else {
        callTool(request);
      }
    } else {
      send({{"jsonrpc", "2.0"},
            {"id", id},
            {"error", {{"code", -32601}, {"message", "Method not found"}}}});
    }
  }
  if (mode == "ignore-sigterm") {
    for (;;) {
      pause();
    }
  }
  return 0;
}
