// Calls MCP services through the connector's bridge as the cloud service would, with the
// official SDK client, and prints what each offers in a few readable lines.
//
//   PELLUM_BRIDGE_PASSWORD=... node show_services.mjs URL [URL...]
//
// For each URL: the server's name, its tools, and the answer of the "echo" tool when it has one.
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const urls = process.argv.slice(2);
if (urls.length === 0) {
  console.error("usage: PELLUM_BRIDGE_PASSWORD=... node show_services.mjs URL [URL...]");
  process.exit(2);
}
const credentials = Buffer.from(`kestrin:${process.env.PELLUM_BRIDGE_PASSWORD ?? ""}`);

for (const url of urls) {
  const transport = new StreamableHTTPClientTransport(new URL(url), {
    requestInit: { headers: { authorization: `Basic ${credentials.toString("base64")}` } },
  });
  const client = new Client({ name: "pellum-demo", version: "1.0.0" });
  await client.connect(transport);
  const { tools } = await client.listTools();
  console.log(`${url}`);
  console.log(`  server: ${client.getServerVersion()?.name} ${client.getServerVersion()?.version}`);
  console.log(`  tools (${tools.length}): ${tools.map((tool) => tool.name).join(", ")}`);
  if (tools.some((tool) => tool.name === "echo")) {
    const result = await client.callTool({ name: "echo", arguments: { message: "hello from the demo" } });
    const text = result.content?.find((item) => item.type === "text")?.text ?? JSON.stringify(result);
    console.log(`  echo: ${text}`);
  }
  await transport.terminateSession().catch(() => {});
  await client.close();
}
