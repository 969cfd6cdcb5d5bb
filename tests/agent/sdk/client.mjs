// Connects to a Tavolin agent endpoint with the official MCP client over Streamable HTTP, lists
// the tools and calls each of them. Prints one JSON object with what came back; exits non-zero
// when the client fails.
//   node client.mjs http://127.0.0.1:PORT/mcp [probe]
// With "probe" it only reads the console (for waiting until messages are there).
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StreamableHTTPClientTransport } from "@modelcontextprotocol/sdk/client/streamableHttp.js";

const url = new URL(process.argv[2]);
const client = new Client({ name: "tavolin-check", version: "1.0.0" });
const transport = new StreamableHTTPClientTransport(url);

function text(result) {
  return result.content.map((part) => (part.type === "text" ? part.text : `<${part.type} ${part.mimeType}>`)).join("\n");
}

try {
  await client.connect(transport);
  const out = { server: client.getServerVersion(), tools: [], calls: {} };
  await client.ping();
  const listed = await client.listTools();
  out.tools = listed.tools.map((tool) => tool.name);

  if (process.argv[3] === "probe") {
    const read = await client.callTool({ name: "read_console", arguments: { webview: "Shop", limit: 5 } });
    console.log(JSON.stringify({ text: text(read) }));
    await client.close();
    process.exit(0);
  }

  const listing = await client.callTool({ name: "list_webviews", arguments: {} });
  out.calls.list_webviews = { text: text(listing), isError: listing.isError };
  const read = await client.callTool({ name: "read_console", arguments: { webview: "Shop", limit: 5 } });
  out.calls.read_console = { text: text(read), isError: read.isError };
  const evaluated = await client.callTool({ name: "evaluate", arguments: { webview: "Shop", expression: "6*7" } });
  out.calls.evaluate = { text: text(evaluated), isError: evaluated.isError };
  const shot = await client.callTool({ name: "screenshot", arguments: { webview: "Shop" } });
  out.calls.screenshot = {
    type: shot.content[0].type,
    mimeType: shot.content[0].mimeType ?? null,
    bytes: shot.content[0].data ? Buffer.from(shot.content[0].data, "base64").length : 0,
    text: shot.content[0].text ?? null,
    isError: shot.isError,
  };
  const cleared = await client.callTool({ name: "clear_console", arguments: {} });
  out.calls.clear_console = { text: text(cleared), isError: cleared.isError };
  console.log(JSON.stringify(out));
  await client.close();
  process.exit(0);
} catch (error) {
  console.error(String(error?.stack ?? error));
  process.exit(1);
}
