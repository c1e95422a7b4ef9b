#!/usr/bin/env python3
"""An FTP server (pyftpdlib) with one user and password, for the transfer tests.

Every command it receives is written, one a line, to --log. Options to misbehave:
  --old          answers SIZE and REST with 502, as a server of RFC 959 alone: it gives
                 no sizes and cannot restart a retrieval
  files named cut-*: the data connection ends after half the file and the server
  replies 426, as when a retrieval breaks off
Listens on 127.0.0.1 only.
"""

import argparse
import logging
import os

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FileProducer, FTPHandler
from pyftpdlib.servers import FTPServer


class HalfFile:
    """A file that ends halfway."""

    def __init__(self, f):
        self.f = f
        self.left = os.fstat(f.fileno()).st_size // 2
        self.name = f.name

    def read(self, n=-1):
        n = self.left if n < 0 else min(n, self.left)
        data = self.f.read(n)
        self.left -= len(data)
        return data

    def seek(self, *args):
        return self.f.seek(*args)

    def close(self):
        self.f.close()

    @property
    def closed(self):
        return self.f.closed


class CutDTP(DTPHandler):
    def handle_close(self):
        if not self._closed and not self.receive and isinstance(self.file_obj, HalfFile):
            self.transfer_finished = False
            self._resp = ("426 Connection closed; transfer aborted.", logging.debug)
            self.close()
            return
        super().handle_close()


class Handler(FTPHandler):
    dtp_handler = CutDTP
    log_file = None
    old = False

    def pre_process_command(self, line, cmd, arg):
        with open(self.log_file, "a") as log:
            log.write(line + "\n")
        return super().pre_process_command(line, cmd, arg)

    def ftp_REST(self, line):
        if self.old:
            self.respond("502 REST not implemented.")
            return
        return super().ftp_REST(line)

    def ftp_SIZE(self, path):
        if self.old:
            self.respond("502 SIZE not implemented.")
            return
        return super().ftp_SIZE(path)

    def ftp_RETR(self, file):
        if not os.path.basename(file).startswith("cut-"):
            return super().ftp_RETR(file)
        try:
            fd = HalfFile(self.run_as_current_user(self.fs.open, file, "rb"))
        except OSError as err:
            self.respond("550 %s." % err.strerror)
            return
        self.push_dtp_data(FileProducer(fd, self._current_type), isproducer=True, file=fd, cmd="RETR")
        return file


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--old", action="store_true")
    args = parser.parse_args()

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elr")
    Handler.authorizer = authorizer
    Handler.log_file = args.log
    Handler.old = args.old
    logging.basicConfig(level=logging.WARNING)
    server = FTPServer(("127.0.0.1", args.port), Handler)
    server.serve_forever()


if __name__ == "__main__":
    main()
