"""An MCP client session over streamable HTTP: initialize, list the tools,
call a tool N times, close (the SDK ends the session with DELETE). Prints
one JSON object: the tool names, the number of calls, each call's latency
in seconds, and every response header it received."""

import argparse
import asyncio
import json
import ssl
import sys
import time

import httpx2
import mcp
from mcp.client.streamable_http import streamable_http_client


async def session(arguments):
    headers = dict(header.split("=", 1) for header in arguments.header)
    seen = []

    async def keep(response):
        seen.append({name: value for name, value in response.headers.items()})

    verify = ssl.create_default_context(cafile=arguments.ca) if arguments.ca else True
    async with httpx2.AsyncClient(headers=headers, verify=verify, trust_env=False,
                                  event_hooks={"response": [keep]},
                                  timeout=httpx2.Timeout(30, read=300)) as client:
        async with streamable_http_client(arguments.url, http_client=client) as streams:
            read, write = streams[0], streams[1]
            async with mcp.ClientSession(read, write) as client_session:
                await client_session.initialize()
                tools = await client_session.list_tools()
                latencies = []
                for i in range(arguments.calls):
                    started = time.perf_counter()
                    result = await client_session.call_tool("echo", {"text": "call %d" % i})
                    latencies.append(time.perf_counter() - started)
                    if result.is_error or result.content[0].text != "call %d" % i:
                        raise RuntimeError("unexpected tool result: %r" % (result,))
    return {"tools": sorted(tool.name for tool in tools.tools), "calls": len(latencies),
            "latencies": latencies, "responseHeaders": seen}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--header", action="append", default=[])
    parser.add_argument("--ca")
    parser.add_argument("--calls", type=int, default=0)
    arguments = parser.parse_args()
    print(json.dumps(asyncio.run(session(arguments))))


if __name__ == "__main__":
    sys.exit(main())
