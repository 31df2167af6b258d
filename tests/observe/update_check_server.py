#!/usr/bin/env python3
"""A stand-in for an update check web API, for the tests: answers GET on any path of 127.0.0.1.

    update_check_server.py [--port N] [--log FILE] [--answer WORD | --answer-file FILE]
    update_check_server.py --run PROGRAM [ARGUMENT...]

Prints "port N" (flushed) once it listens (port 0 or none: one the system chooses). Each
request's path (with its query) is appended to the log file as a line. The answer, read again
at each request from --answer-file when given, is one of these words, or any other text as the
JSON body itself:
    current   {"response":{"success":true,"up_to_date":true,...}}
    outdated  the same with up_to_date false and required_version 1234
    garbage   a body that is no JSON
    slow      waits 30 seconds, then answers as current
    error     status 500
Runs until it is ended (its test ends it). With --run it serves while PROGRAM runs (at most
300 seconds) and exits with PROGRAM's exit code; PROGRAM finds the port, the answer file and the
log in TERVANE_UPDATE_CHECK_PORT, _ANSWER and _LOG (files of a temporary folder).
"""
import argparse
import http.server
import json
import os
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

ANSWERS = {
    "current": {"response": {"success": True, "up_to_date": True, "version_is_listable": True,
                             "required_version": 1234}},
    "outdated": {"response": {"success": True, "up_to_date": False, "version_is_listable": True,
                              "required_version": 1234,
                              "message": "Your server is out of date, please upgrade"}},
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log")
    parser.add_argument("--answer", default="current")
    parser.add_argument("--answer-file")
    parser.add_argument("--run", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    folder = None
    if args.run:
        folder = tempfile.TemporaryDirectory()
        args.answer_file = os.path.join(folder.name, "answer")
        args.log = os.path.join(folder.name, "log")
        with open(args.answer_file, "w", encoding="utf-8") as f:
            f.write(args.answer)
    log_lock = threading.Lock()

    def answer_word():
        if args.answer_file:
            try:
                with open(args.answer_file, encoding="utf-8", errors="replace") as f:
                    return f.read(65536).strip()
            except OSError:
                return "error"
        return args.answer

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            if args.log:
                with log_lock, open(args.log, "a", encoding="utf-8") as f:
                    f.write(self.path + "\n")
            word = answer_word()
            status = 200
            if word == "slow":
                time.sleep(30)
                word = "current"
            if word == "error":
                status, body = 500, b"internal error"
            elif word == "garbage":
                body = b"<html>not json"
            elif word in ANSWERS:
                body = json.dumps(ANSWERS[word]).encode()
            else:
                body = word.encode()
            try:
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
            except OSError:
                pass  # the client gave up (a slow answer past its time-out)

        def log_message(self, *_):
            pass

    class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
        daemon_threads = True
        allow_reuse_address = True

    server = Server(("127.0.0.1", args.port), Handler)
    print("port %d" % server.server_address[1], flush=True)
    if args.run:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        env = dict(os.environ, TERVANE_UPDATE_CHECK_PORT=str(server.server_address[1]),
                   TERVANE_UPDATE_CHECK_ANSWER=args.answer_file, TERVANE_UPDATE_CHECK_LOG=args.log)
        try:
            code = subprocess.run(args.run, env=env, timeout=300).returncode
        except subprocess.TimeoutExpired:
            code = 1
        server.shutdown()
        folder.cleanup()
        sys.exit(code)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
