// Drives a Tavolin agent endpoint with the official MCP client over Streamable HTTP: waits until
// the Shop page's last message has arrived, calls every tool once and prints what came back as one
// JSON object. An error ends it with a non-zero status.
//   node client.mjs http://127.0.0.1:PORT/mcp
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const client = new Client({ name: "tavolin-check", version: "1.0.0" });
await client.connect(new StreamableHTTPClientTransport(new URL(process.argv[2])));
await client.ping();
const out = { tools: (await client.listTools()).tools.map((tool) => tool.name) };
async function call(name, args = {}) {
  const { content, isError } = await client.callTool({ name, arguments: args });
  const png = content[0].data ? Buffer.from(content[0].data, "base64") : null; // its width at bytes 16-19
  return { type: content[0].type, text: content[0].text, mimeType: content[0].mimeType, width: png?.readUInt32BE(16), isError };
}
for (let tries = 0; !(await call("read_console", { webview: "Shop" })).text.includes("m22"); tries++) {
  if (tries === 40) throw new Error("the page's messages never arrived");
  await new Promise((resolve) => setTimeout(resolve, 250));
}
out.list_webviews = await call("list_webviews");
out.read_console = await call("read_console", { webview: "Shop", limit: 5 });
out.evaluate = await call("evaluate", { webview: "Shop", expression: "6*7" });
out.screenshot = await call("screenshot", { webview: "Shop" });
out.clear_console = await call("clear_console");
console.log(JSON.stringify(out));
await client.close();
