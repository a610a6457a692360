#!/usr/bin/env python3
"""Reads the MCP Bundle on its own, since the mcpb CLI checks the manifest's schema alone.
  check-bundle.py BUNDLE             the program at the entry point: executable by its Unix mode,
                                     for this machine, answering the manifest's version and tools
  check-bundle.py --broken BUNDLE    a copy without the program's execute bits is refused
  check-bundle.py --unpacked FOLDER  the manifest's command, ${__dirname} being FOLDER, answers
Exits 1, saying why, on the first failure."""
import json, os, platform, stat, subprocess, sys, tempfile, zipfile

REQUESTS = "".join(json.dumps(r) + "\n" for r in [
    {"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"protocolVersion": "2025-06-18",
     "capabilities": {}, "clientInfo": {"name": "check-bundle", "version": "1"}}},
    {"jsonrpc": "2.0", "method": "notifications/initialized"},
    {"jsonrpc": "2.0", "id": 2, "method": "tools/list"}]).encode()
HOST = "darwin" if sys.platform == "darwin" else "linux"


class Refused(Exception):
    pass


def agree(manifest, command):
    """Runs `command` where no Quill listens: its version and tools must be the manifest's."""
    with tempfile.TemporaryDirectory() as scratch:
        env = dict(os.environ, QUILL_MCP_SOCKET=scratch + "/none.sock", QUILL_MCP_NO_LAUNCH="1")
        try:
            run = subprocess.run(command, input=REQUESTS, env=env, capture_output=True, timeout=30)
        except OSError as error:
            raise Refused(f"{command[0]} does not run: {error}")
    answers = [json.loads(line) for line in run.stdout.splitlines()]
    if run.returncode != 0 or [answer.get("id") for answer in answers] != [1, 2]:
        raise Refused(f"{command[0]} did not answer the handshake: {run.stdout} {run.stderr}")
    answered = (answers[0]["result"]["serverInfo"]["version"],
                [{"name": t["name"], "description": t["description"]}
                 for t in answers[1]["result"]["tools"]])
    if answered != (manifest["version"], manifest.get("tools")):
        raise Refused(f"the program answers {answered}, the manifest has other tools or version")


def check_machine(head):
    if HOST == "darwin":  # a universal binary: big-endian fat header, 20-byte entries
        count = int.from_bytes(head[4:8], "big")
        archs = {int.from_bytes(head[8 + 20 * i:12 + 20 * i], "big") for i in range(count)}
        if head[:4] != b"\xca\xfe\xba\xbe" or not {0x0100000C, 0x01000007} <= archs:
            raise Refused("the program is no universal Mach-O with arm64 and x86_64")
    else:
        machine = {"x86_64": 62, "aarch64": 183}.get(platform.machine())
        order = "little" if head[5] == 1 else "big"
        if head[:4] != b"\x7fELF" or int.from_bytes(head[18:20], order) != machine:
            raise Refused(f"the program is no ELF program for {platform.machine()}")


def check_zip(path):
    with zipfile.ZipFile(path) as bundle:
        manifest = json.loads(bundle.read("manifest.json"))
        entry, config = manifest["server"]["entry_point"], manifest["server"]["mcp_config"]
        if (config["command"] != "${__dirname}/" + entry or "user_config" in manifest
                or manifest.get("license") != "MIT"
                or manifest.get("compatibility", {}).get("platforms") != [HOST]
                or not path.endswith(f"-{manifest['version']}-{HOST}.mcpb")):
            raise Refused(f"the manifest or the name is not that of the {HOST} bundle: {manifest}")
        if entry not in bundle.namelist():
            raise Refused(f"no program at the entry point {entry}")
        info = bundle.getinfo(entry)
        mode = info.external_attr >> 16
        if info.create_system != 3 or stat.S_IFMT(mode) not in (0, stat.S_IFREG) or \
                mode & 0o111 != 0o111:
            raise Refused(f"{entry} is not executable: mode {oct(mode)}")
        program = bundle.read(entry)
    check_machine(program[:64])
    with tempfile.TemporaryDirectory() as folder:
        with open(folder + "/quill-mcp", "wb") as file:
            file.write(program)
        os.chmod(folder + "/quill-mcp", stat.S_IMODE(mode))
        agree(manifest, [folder + "/quill-mcp"] + config.get("args", []))


def check_broken(path):
    """A copy whose program lost its execute bits, which `mcpb validate` passes, is refused."""
    entry = json.loads(zipfile.ZipFile(path).read("manifest.json"))["server"]["entry_point"]
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, os.path.basename(path))
        with zipfile.ZipFile(path) as source, zipfile.ZipFile(copy, "w") as target:
            for info in source.infolist():
                if info.filename == entry:
                    info.external_attr = 0o100644 << 16
                target.writestr(info, source.read(info))
        try:
            check_zip(copy)
        except Refused as refusal:
            return print(f"check-bundle: a copy without execute bits is refused: {refusal}")
    raise Refused("a copy without execute bits passed")


def check_unpacked(folder):
    with open(os.path.join(folder, "manifest.json")) as file:
        manifest = json.load(file)
    config = manifest["server"]["mcp_config"]
    command = [config["command"]] + config.get("args", [])
    agree(manifest, [word.replace("${__dirname}", folder) for word in command])


if __name__ == "__main__":
    try:
        {"--broken": check_broken, "--unpacked": check_unpacked}.get(sys.argv[1], check_zip)(
            sys.argv[-1])
    except Refused as refusal:
        sys.exit(f"check-bundle: {refusal}")
