#!/usr/bin/env python3
# Packaging as a packager does it: a Release build with default options in a temporary directory,
# `cmake --install` to a temporary prefix and `cpack -G DEB`. Checks that the build of the whole tree
# (the tests among it, which a plain configure builds too) printed no warning, the installed and
# packaged files, the package's dependencies, that lintian reports neither error nor warning on it,
# and, with the build tree removed, the installed runner's --version and `validate` of the installed
# example with the installed skill library loaded as well.
#   packageTest.py SOURCE_DIR PROJECT_VERSION

import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path


def run(*args, cwd=None, env=None):
    result = subprocess.run([str(a) for a in args], cwd=cwd, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0:
        sys.exit(f"{' '.join(map(str, args))}: exit status {result.returncode}\n{result.stdout}")
    return result.stdout


def main():
    source, version = Path(sys.argv[1]), sys.argv[2]
    failures = []
    env = dict(os.environ)
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    with tempfile.TemporaryDirectory(prefix="corvane-package.") as work:
        build, prefix = Path(work, "build"), Path(work, "prefix")
        # Prefix /usr as a packager (and the preset "package") has it; it changes no compiler flag.
        run("cmake", "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_INSTALL_PREFIX=/usr", env=env)
        man = shutil.which("help2man") is not None
        # Everything, not only what is installed: GCC warns of some things only at Release's -O3.
        output = run("cmake", "--build", build, "--parallel", "2", env=env)
        failures += [f"build: {line}" for line in output.splitlines() if "warning:" in line]
        run("cmake", "--install", build, "--prefix", prefix)

        libdir = re.search(r"^CMAKE_INSTALL_LIBDIR:PATH=(.*)$", (build / "CMakeCache.txt").read_text(), re.M)[1]
        expected = {"bin/corvane-run", f"{libdir}/corvane/libcorvane-host.so",
                    f"{libdir}/corvane/skills/libcorvane-mqtt.so", "share/doc/corvane-mqtt/README.md",
                    "share/doc/corvane-mqtt/copyright",
                    "share/doc/corvane-mqtt/examples/README.md", "share/doc/corvane-mqtt/examples/demo.json"}
        if man:
            expected.add("share/man/man1/corvane-run.1.gz")
        installed = {str(p.relative_to(prefix)) for p in prefix.rglob("*") if not p.is_dir()}
        if installed != expected:
            failures.append(f"installed files: missing {sorted(expected - installed)}, "
                            f"unexpected {sorted(installed - expected)}")

        run("cpack", "-G", "DEB", cwd=build)
        deb = next(build.glob("*.deb"))
        depends = run("dpkg-deb", "--field", deb, "Depends")
        for wanted in ("libc6", "libmosquitto1", "libssl3", r"libstdc\+\+6"):
            if not re.search(rf"(^|, ){wanted}", depends):
                failures.append(f"the package does not depend on {wanted}: {depends.strip()}")
        packaged = {line.split()[-1].removeprefix("./usr/") for line in run("dpkg-deb", "--contents", deb).splitlines()
                    if line.startswith("-")}
        # Beside the installed files, what only the package has.
        expected |= {"share/doc/corvane-mqtt/changelog.Debian.gz", "share/lintian/overrides/corvane-mqtt"}
        if packaged != expected:
            failures.append(f"packaged files differ from the installed ones: {sorted(packaged ^ expected)}")
        checked = subprocess.run(["lintian", "--fail-on", "error,warning", deb], text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        complaints = [line for line in checked.stdout.splitlines() if re.match(r"[EW]: ", line)]
        if checked.returncode != 0 or complaints:
            failures.append(f"lintian (exit status {checked.returncode}):\n{checked.stdout}")

        # The installed files on their own: they find each other relative to themselves.
        shutil.rmtree(build)
        runner = prefix / "bin/corvane-run"
        lines = run(runner, "--version").splitlines()
        patterns = [rf"corvane-run {re.escape(version)}", r"libmosquitto 2\.\d+\.\d+", r"OpenSSL 3\.\d+\.\d+ .*"]
        if len(lines) != 3 or not all(re.fullmatch(p, l) for p, l in zip(patterns, lines)):
            failures.append(f"--version printed {lines}")
        example = prefix / "share/doc/corvane-mqtt/examples/demo.json"
        output = run(runner, "validate", example, "--library", prefix / libdir / "corvane/skills/libcorvane-mqtt.so")
        if '"skill":"MQTT","class":"Client"' not in output:
            failures.append(f"validate of the installed example printed no MQTT client:\n{output}")

    for failure in failures:
        print(f"FAILED: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
