// Speaks to one MCP server with the official SDK client and prints what it answered as JSON.
//
//   node stdio_client.mjs http URL     through the bridge; the Basic credentials a tunnel adds
//                                      are "kestrin" and $PELLUM_BRIDGE_PASSWORD
//   node stdio_client.mjs stdio COMMAND [ARG...]   directly, over the child's standard streams
//   node stdio_client.mjs tools URL    through the bridge, only tools/list, printed as received
//
// Runs initialize, tools/list, a tools/call, prompts/list, resources/list and resources/read, and
// over HTTP ends the session with DELETE.

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const [mode, ...rest] = process.argv.slice(2);
let transport;
if ((mode === "http" || mode === "tools") && rest.length === 1) {
  const credentials = Buffer.from(`kestrin:${process.env.PELLUM_BRIDGE_PASSWORD ?? ""}`);
  transport = new StreamableHTTPClientTransport(new URL(rest[0]), {
    requestInit: { headers: { authorization: `Basic ${credentials.toString("base64")}` } },
  });
} else if (mode === "stdio" && rest.length >= 1) {
  transport = new StdioClientTransport({ command: rest[0], args: rest.slice(1), stderr: "ignore" });
} else {
  console.error("usage: node stdio_client.mjs http URL | tools URL | stdio COMMAND [ARG...]");
  process.exit(2);
}

const client = new Client({ name: "pellum-e2e", version: "1.0.0" });
await client.connect(transport);
if (mode === "tools") {
  // Members keep the order in which the SDK received them.
  process.stdout.write(JSON.stringify(await client.listTools()) + "\n");
  await transport.terminateSession();
  await client.close();
  process.exit(0);
}
const results = {
  server: client.getServerVersion(),
  capabilities: Object.keys(client.getServerCapabilities() ?? {}).sort(),
  tools: await client.listTools(),
  call: await client.callTool({ name: "echo", arguments: { message: "hello through pellum" } }),
  prompts: await client.listPrompts(),
  resources: await client.listResources(),
};
results.read = await client.readResource({ uri: results.resources.resources[0].uri });
if (mode === "http") {
  results.sessionId = transport.sessionId;
  await transport.terminateSession();
  results.terminated = transport.sessionId === undefined;
}
await client.close();
process.stdout.write(JSON.stringify(results) + "\n");
