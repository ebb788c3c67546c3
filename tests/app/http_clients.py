#!/usr/bin/env python3
"""HTTP proxying through kestruned with the programs that speak it, against
a local `python3 -m http.server`: curl for a plain request and through
CONNECT, wget through http_proxy, git cloning a repository over HTTP, and,
where Debian's Chromium is installed, a headless browser loading a page
with its resources.

    http_clients.py KESTRUNED"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from daemon import Daemon, check, free_port, proxy, run, wait_for


def quiet_env(**extra):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(extra)
    return env


def test():
    site = tempfile.mkdtemp(prefix="kestrune-site-")
    with open(os.path.join(site, "index.html"), "w") as f:
        f.write("<html><head><link rel=stylesheet href=style.css><script src=app.js></script>"
                "</head><body><img src=logo.png><p id=p>hello through the gateway</p>"
                "</body></html>")
    for name, text in (("style.css", "p { color: red }"), ("app.js", "var loaded = 1;"),
                       ("logo.png", "not really a png")):
        with open(os.path.join(site, name), "w") as f:
            f.write(text)
    repo = os.path.join(site, "repo.git")
    work = os.path.join(site, "work")
    git = shutil.which("git")
    if git:
        subprocess.run([git, "init", "-q", work], check=True)
        with open(os.path.join(work, "README"), "w") as f:
            f.write("cloned through kestrune\n")
        subprocess.run([git, "-C", work, "add", "README"], check=True)
        subprocess.run([git, "-C", work, "-c", "user.name=k", "-c", "user.email=k@localhost",
                        "commit", "-q", "-m", "one"], check=True)
        subprocess.run([git, "clone", "-q", "--bare", work, repo], check=True)
        subprocess.run([git, "-C", repo, "update-server-info"], check=True)
    web_port = free_port()
    web = subprocess.Popen([sys.executable, "-m", "http.server", str(web_port), "--bind",
                            "127.0.0.1", "--directory", site],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    port = free_port()
    proxy_url = f"http://127.0.0.1:{port}"
    page = f"http://127.0.0.1:{web_port}/index.html"
    d = None
    try:
        d = Daemon(sys.argv[1], proxy("Web", port, extra="HTTP=1\r\n"))
        d.wait_line(r"^\[Web\] Started$")
        check(wait_for(lambda: subprocess.run(
            ["curl", "-s", "-o", "/dev/null", page], env=quiet_env()).returncode == 0),
            "the web server does not answer")
        for how in ([], ["-p"]):
            out = subprocess.run(["curl", "-s", "--max-time", "10", "-x", proxy_url, *how, page],
                                 capture_output=True, text=True, env=quiet_env()).stdout
            check("hello through the gateway" in out, f"curl {how}: {out!r}")

        wget = shutil.which("wget")
        if wget:
            target = os.path.join(site, "fetched")
            subprocess.run([wget, "-q", "-O", target, page], check=True, timeout=20,
                           env=quiet_env(http_proxy=proxy_url))
            with open(target) as f:
                check("hello through the gateway" in f.read(), "wget fetched something else")
        else:
            print("wget not installed")

        if git:
            clone = os.path.join(site, "clone")
            subprocess.run([git, "clone", "-q", f"http://127.0.0.1:{web_port}/repo.git", clone],
                           check=True, timeout=30, env=quiet_env(http_proxy=proxy_url))
            with open(os.path.join(clone, "README")) as f:
                check(f.read() == "cloned through kestrune\n", "git cloned something else")

        chromium = shutil.which("chromium")
        if chromium:
            profile = tempfile.mkdtemp(prefix="kestrune-chromium-")
            before = d.text().count("] Connected: ")
            result = subprocess.run(
                [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", f"--user-data-dir={profile}", f"--proxy-server={proxy_url}",
                 "--proxy-bypass-list=<-loopback>", "--virtual-time-budget=5000",
                 "--dump-dom", page], capture_output=True, text=True, timeout=60)
            shutil.rmtree(profile, ignore_errors=True)
            check("hello through the gateway" in result.stdout,
                  f"Chromium: {result.stdout[:300]!r} {result.stderr[-300:]!r}")
            check(d.text().count("] Connected: ") > before, "Chromium did not use the gateway")
        else:
            print("chromium not installed: the browser is not tried")
        check(not re.search(r"Denied|failed", d.text()), d.text())
    finally:
        if d:
            d.close()
        web.kill()
        web.wait()
        shutil.rmtree(site, ignore_errors=True)


run(test)
