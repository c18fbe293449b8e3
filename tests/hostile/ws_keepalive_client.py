"""An independent WebSocket client (Python's websockets library, as Debian packages it) against the
daemon: one request, then the connection held for a minute on nothing but the library's own
keep-alive pings (every 20 s; a ping whose pong does not carry its payload ends the connection with
1011), then a normal close. Prints what it saw, one "key value" line each; exit status 0 when the
connection stayed open and both sides closed with 1000.

usage: /usr/bin/python3 ws_keepalive_client.py PORT SECONDS
"""
import asyncio
import ssl
import sys
import time

import websockets


async def run(port: int, seconds: float) -> int:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # the daemon's own root; only 127.0.0.1 is reached
    async with websockets.connect(
        f"wss://127.0.0.1:{port}/", ssl=context, origin="https://python.example",
        ping_interval=20, ping_timeout=20, close_timeout=10,
    ) as ws:
        await ws.send('{"id":"py-1","tabid":"t","origin":"https://python.example"}')
        first = await asyncio.wait_for(ws.recv(), 30)
        print("first_reply_ok", '"status": "TRUE"' in first)
        # Held on the keep-alive pings alone: the state is looked at once a second.
        start = time.monotonic()
        while time.monotonic() - start < seconds and ws.open:
            await asyncio.sleep(1)
        print("open_after_wait", ws.open)
        if not ws.open:
            print("close_code", ws.close_code)
            return 1
        await ws.send('{"id":"py-2","tabid":"t","origin":"https://python.example"}')
        second = await asyncio.wait_for(ws.recv(), 30)
        print("second_reply_ok", '"status": "TRUE"' in second)
        await ws.close(code=1000, reason="done")
        sent = ws.close_sent.code if ws.close_sent else None
        received = ws.close_rcvd.code if ws.close_rcvd else None
        print("close_sent", sent)
        print("close_received", received)
        return 0 if sent == 1000 and received == 1000 else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(run(int(sys.argv[1]), float(sys.argv[2]))))
