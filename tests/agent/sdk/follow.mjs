// Drives the tools that search, follow and wait on the console and await promises, with the official
// MCP client, against the endpoint tst_tools serves over its fake simulator (whose Shop page logs
// "tick N" all along), and prints what came back as one JSON object.
//   node follow.mjs http://127.0.0.1:PORT/mcp
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const client = new Client({ name: "tavolin-follow", version: "1.0.0" });
await client.connect(new StreamableHTTPClientTransport(new URL(process.argv[2])));
async function call(name, args) {
  const { content, isError } = await client.callTool({ name, arguments: args });
  return { text: content[0].text, isError };
}
const out = { polls: [] };
for (let i = 0, since = 0; i < 3; i++, await new Promise((resolve) => setTimeout(resolve, 400))) {
  const lines = (await call("read_console", { webview: "Shop", search: "TICK", since })).text.split("\n");
  since = Number(lines.pop().replace("next since: ", ""));
  out.polls.push(lines.filter((line) => line !== "No messages."));
}
out.regex = await call("read_console", { webview: "Shop", search: "/^tick [0-2]$/" });
out.invalid = await call("read_console", { search: "/(/" });
await call("evaluate", { webview: "Shop", expression: "logSoon()" });
out.waited = await call("wait_for_console", { search: "ready", timeout: 5 });
out.quiet = await call("wait_for_console", { webview: "Shop", search: "never", timeout: 1 });
for (const expression of ["resolves()", "rejects()", "settlesNever()"])
  out[expression] = await call("evaluate", { webview: "Shop", expression, await: true });
out.bounded = await call("read_console", { webview: "Docs", limit: 1000, since: 0 });
console.log(JSON.stringify(out));
await client.close();
