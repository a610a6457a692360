#!/usr/bin/env python3
"""Checks the files that come with a release, beside its packages in one folder.
  check-release.py FOLDER [--repository OWNER/NAME]
SHA256SUMS names each release file there (the shim's archives, the .deb, the MCP Bundles) with
its SHA-256. server.json, the MCP registry's entry, has every member the registry requires,
within its limits, and one package per bundle there: registry type mcpb, the bundle's download
URL from the release of tag v<version> as identifier, the bundle's SHA-256, transport stdio.
--repository: the repository the release belongs to (default: the placeholder OWNER/quill-mcp).
Exits 1, saying why, on the first failure."""
import glob, hashlib, json, os, re, sys

# What the registry's server.json schema (2025-10-17) requires of an entry and of a package.
NAME = re.compile(r"^[a-zA-Z0-9.-]+/[a-zA-Z0-9._-]+$")
SHA256 = re.compile(r"^[a-f0-9]{64}$")
RELEASE_FILES = ("quill-mcp-*-shim.tar.gz", "quill-mcp_*.deb", "quill-mcp-*.mcpb")


class Refused(Exception):
    pass


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def text(entry, key, longest, where="server.json"):
    value = entry.get(key)
    if not isinstance(value, str) or not 1 <= len(value) <= longest:
        raise Refused(f"{where}: \"{key}\" must be a string of 1 to {longest} characters: {value!r}")
    return value


def check(folder, repository):
    version_files = {}
    for pattern in RELEASE_FILES:
        for path in glob.glob(os.path.join(folder, pattern)):
            version_files[os.path.basename(path)] = path
    with open(os.path.join(folder, "server.json"), encoding="utf-8") as file:
        server = json.load(file)
    version = text(server, "version", 255)
    owner = repository.split("/")[0]
    files = {name: path for name, path in version_files.items()
             if re.match(rf"^quill-mcp[-_]{re.escape(version)}[-_]", name)}
    bundles = sorted(name for name in files if name.endswith(".mcpb"))
    if not bundles:
        raise Refused(f"{folder} holds no MCP Bundle of version {version}")

    with open(os.path.join(folder, "SHA256SUMS"), encoding="utf-8") as file:
        sums = {}
        for line in file.read().splitlines():
            found = re.match(r"^([a-f0-9]{64})  (\S+)$", line)
            if not found:
                raise Refused(f"SHA256SUMS: not \"<sha256>  <file>\": {line!r}")
            sums[found[2]] = found[1]
    if set(sums) != set(files):
        raise Refused(f"SHA256SUMS names {sorted(sums)}, the release files are {sorted(files)}")
    hashes = {name: sha256(path) for name, path in files.items()}
    for name, digest in sums.items():
        if digest != hashes[name]:
            raise Refused(f"SHA256SUMS: {name} has SHA-256 {hashes[name]}, not {digest}")

    name = text(server, "name", 200)
    if not NAME.match(name) or name != f"io.github.{owner}/quill-mcp":
        raise Refused(f"server.json: name {name!r} is not io.github.{owner}/quill-mcp")
    text(server, "description", 100)
    if version == "latest":
        raise Refused("server.json: the version must be an exact one, not \"latest\"")
    if "title" in server:
        text(server, "title", 100)
    source = server.get("repository", {})
    if source.get("url") != f"https://github.com/{repository}" or source.get("source") != "github":
        raise Refused(f"server.json: repository {source} is not https://github.com/{repository}")
    packages = server.get("packages")
    if not isinstance(packages, list) or len(packages) != len(bundles):
        raise Refused(f"server.json: packages must list the {len(bundles)} bundles {bundles}")
    download = f"https://github.com/{repository}/releases/download/v{version}/"
    for index, (package, bundle) in enumerate(zip(packages, bundles)):
        where = f"server.json: packages[{index}]"
        identifier = text(package, "identifier", 2048, where)
        if identifier != download + bundle:
            raise Refused(f"{where}: identifier {identifier} is not {download + bundle}")
        if package.get("registryType") != "mcpb":
            raise Refused(f"{where}: registryType must be \"mcpb\"")
        if package.get("transport") != {"type": "stdio"}:
            raise Refused(f"{where}: transport must be {{\"type\": \"stdio\"}}")
        if package.get("version", version) != version:
            raise Refused(f"{where}: version {package['version']} is not the entry's {version}")
        digest = package.get("fileSha256")
        if not isinstance(digest, str) or not SHA256.match(digest) or digest != hashes[bundle]:
            raise Refused(f"{where}: fileSha256 {digest} is not {bundle}'s {hashes[bundle]}")
    return f"{folder}: SHA256SUMS of {len(files)} files; server.json {name} {version}, " \
           f"{len(bundles)} bundle(s)"


def main(argv):
    repository = "OWNER/quill-mcp"
    if len(argv) == 3 and argv[1] == "--repository":
        repository = argv[2]
        argv = argv[:1]
    if len(argv) != 1 or not re.match(r"^[A-Za-z0-9-]+/[A-Za-z0-9._-]+$", repository):
        print(__doc__, file=sys.stderr)
        return 2
    try:
        print(check(argv[0], repository))
    except (Refused, OSError, ValueError, KeyError, AttributeError) as error:
        print(f"check-release: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
