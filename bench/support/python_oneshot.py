"""The baseline of oneshot_roundtrip: the same one-shot as `velmora --query`, done by a minimal
client on Python's `websockets` library (Debian's python3-websockets): connect, send the query,
collect the deltas until `complete`, send `terminate`, print the answer.

    python3 python_oneshot.py WS_URL TOKEN USER_ID QUERY
"""

import asyncio
import json
import sys
from urllib.parse import urlencode

import websockets


async def one_shot(url: str, token: str, user_id: str, query: str) -> str:
    address = f"{url}?{urlencode({'userToken': token, 'user_id': user_id})}"
    parts = []
    async with websockets.connect(address, max_size=None) as ws:
        await ws.send(json.dumps({"type": "query", "query": query, "user_id": user_id,
                                  "attachments": []}))
        async for message in ws:
            frame = json.loads(message)
            if frame.get("type") == "text_delta":
                parts.append(frame.get("delta", ""))
            elif frame.get("type") == "complete":
                break
        await ws.send(json.dumps({"type": "terminate"}))
    return "".join(parts)


if __name__ == "__main__":
    print(asyncio.run(one_shot(*sys.argv[1:5])))
