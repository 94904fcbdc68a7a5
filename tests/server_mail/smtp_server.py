#!/usr/bin/python3
"""A real SMTP server for the mail tests and benchmarks: aiosmtpd on 127.0.0.1.

Prints "PORT <n>" once it listens. Every accepted message becomes two files in the spool
directory: NNNN.json (envelope, login, TLS state) and NNNN.data (the message bytes as received,
dot-unstuffed, without the terminating ".").

  smtp_server.py SPOOL [--auth USER PASS] [--tls CERT KEY] [--count-only]
"""

import argparse
import asyncio
import json
import os
import ssl
import sys

from aiosmtpd.smtp import SMTP, AuthResult


class Spool:
    def __init__(self, directory, count_only):
        self.directory = directory
        self.count_only = count_only
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        if not self.count_only or self.count % 100 == 0:
            base = os.path.join(self.directory, "%06d" % self.count)
            meta = {
                "mail_from": envelope.mail_from,
                "mail_options": envelope.mail_options,
                "rcpt_tos": envelope.rcpt_tos,
                "login": (session.auth_data.decode("utf-8", "replace")
                          if isinstance(session.auth_data, bytes) else None),
                "tls": session.ssl is not None,
                "count": self.count,
            }
            if not self.count_only:
                with open(base + ".data", "wb") as f:
                    f.write(envelope.original_content)
            # The .json appears last: a reader that sees it finds the .data complete.
            with open(base + ".tmp", "w") as f:
                json.dump(meta, f)
            os.rename(base + ".tmp", base + ".json")
        return "250 Message accepted for delivery"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("spool")
    parser.add_argument("--auth", nargs=2, metavar=("USER", "PASS"))
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--count-only", action="store_true")
    args = parser.parse_args()

    context = None
    if args.tls:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.tls[0], args.tls[1])

    def authenticate(server, session, envelope, mechanism, auth_data):
        ok = (mechanism == "LOGIN" and args.auth is not None
              and auth_data.login == args.auth[0].encode("utf-8")
              and auth_data.password == args.auth[1].encode("utf-8"))
        # handled=False: aiosmtpd answers a failure with its 535 itself.
        return AuthResult(success=ok, handled=False, auth_data=auth_data.login if ok else None)

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    handler = Spool(args.spool, args.count_only)

    def factory():
        return SMTP(
            handler,
            hostname="mail.test",
            loop=loop,
            tls_context=context,
            authenticator=authenticate if args.auth else None,
            auth_required=args.auth is not None,
            # Plain AUTH only when the test does not offer TLS; with TLS the password must
            # travel encrypted.
            auth_require_tls=context is not None,
            auth_exclude_mechanism=["PLAIN"],
            data_size_limit=None,
        )

    server = loop.run_until_complete(loop.create_server(factory, host="127.0.0.1", port=0))
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    import logging
    logging.disable(logging.CRITICAL)
    import warnings
    warnings.simplefilter("ignore")
    sys.exit(main())
