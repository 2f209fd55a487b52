#!/usr/bin/env python3
"""A till that keeps a demonstration forecourt busy: now and then it authorises a free pump
with a preset in money or litres, and it pays the oldest of its sales when too many wait, so
that some are always there for the cashier at the console. It stops when told (SIGTERM,
Ctrl-C) or when the server has gone.

    forecourt-traffic.py URL TOKEN [--seed N]
"""
import argparse
import json
import random
import secrets
import signal
import sys
import time
import urllib.error
import urllib.request

WAITING_SALES = 3  # sales of this till left for the cashier


class Till:
    def __init__(self, url, token):
        self.url = url.rstrip("/")
        self.token = token

    def ask(self, method, path, body=None):
        headers = {"Authorization": "Bearer " + self.token}
        data = None
        if method != "GET":
            headers["Idempotency-Key"] = secrets.token_hex(16)
            headers["Content-Type"] = "application/json"
            data = json.dumps(body or {}).encode()
        request = urllib.request.Request(self.url + path, data=data, headers=headers, method=method)
        try:
            with urllib.request.urlopen(request, timeout=10) as answer:
                return answer.status, json.load(answer)
        except urllib.error.HTTPError as refusal:
            return refusal.code, None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("url")
    parser.add_argument("token")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    chance = random.Random(args.seed)
    till = Till(args.url, args.token)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    status, me = till.ask("GET", "/api/v1/client")
    if status != 200:
        sys.exit("forecourt-traffic: the server refuses the token (%d)" % status)
    name = me["name"]
    failures = 0
    while failures < 5:
        time.sleep(chance.uniform(6, 15))
        try:
            status, forecourt = till.ask("GET", "/api/v1/forecourt")
            _, listed = till.ask("GET", "/api/v1/sales?state=PAYABLE&limit=1000")
        except (urllib.error.URLError, OSError):
            failures += 1
            continue
        failures = 0
        if status != 200:
            continue
        mine = [s for s in listed["sales"] if s["authorisedBy"] == name]
        for sale in sorted(mine, key=lambda s: s["id"])[: max(0, len(mine) - WAITING_SALES)]:
            till.ask("POST", "/api/v1/sales/%d/clear" % sale["id"])
        free = [p for p in forecourt["fuelPoints"]
                if p["state"] in ("IDLE", "CALLING") and p["unclearedSales"] < p["saleBuffer"]]
        if not free:
            continue
        point = chance.choice(free)
        if chance.random() < 0.5:
            preset = {"kind": "money", "value": chance.randrange(100, 1001, 50)}
        else:
            preset = {"kind": "volume", "value": chance.randrange(5, 41)}
        till.ask("POST", "/api/v1/fuel-points/%d/authorise" % point["id"], {"preset": preset})


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
