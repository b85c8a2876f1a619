#!/usr/bin/env python3
"""Checks that deploy/nginx/nginx.conf loads: nginx -t on it as written, with only the paths a
host would change pointed into a scratch folder (a certificate made for this run, this checkout's
kelvadon-client.conf, the root).

Usage: nginx_example_check.py SCRATCH
"""

import os
import shutil
import subprocess
import sys

import website_harness

DEPLOY = os.path.dirname(website_harness.RECIPE)
# Each path the example tells the host to change, and what stands in for it here.
REPLACED = {
    "/etc/letsencrypt/live/games.example/fullchain.pem": "localhost.pem",
    "/etc/letsencrypt/live/games.example/privkey.pem": "localhost.key",
    "/etc/nginx/kelvadon-client.conf": website_harness.RECIPE,
    "/srv/kelvadon/www": "www",
}


def main():
    scratch = os.path.abspath(sys.argv[1])
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(os.path.join(scratch, "www"))
    website_harness.make_certificates(scratch)
    with open(os.path.join(DEPLOY, "nginx.conf")) as f:
        example = f.read()
    for path, stand_in in REPLACED.items():
        if path not in example:
            sys.exit("deploy/nginx/nginx.conf no longer names %s; update this check" % path)
        example = example.replace(path, os.path.join(scratch, stand_in))
    with open(os.path.join(scratch, "example.conf"), "w") as f:
        f.write(example)
    # What /etc/nginx/nginx.conf around sites-enabled gives the example on a Debian host.
    with open(os.path.join(scratch, "nginx.conf"), "w") as f:
        f.write("pid %s/nginx.pid;\nerror_log %s/error.log;\nevents {}\n"
                "http {\n  include /etc/nginx/mime.types;\n  access_log off;\n"
                "  include %s/example.conf;\n}\n" % (scratch, scratch, scratch))
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    result = subprocess.run([nginx, "-t", "-p", scratch + "/", "-e", scratch + "/error.log",
                             "-c", scratch + "/nginx.conf"],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True)
    print(result.stdout + result.stderr)
    if result.returncode != 0:
        sys.exit("nginx -t refused deploy/nginx/nginx.conf")
    shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
