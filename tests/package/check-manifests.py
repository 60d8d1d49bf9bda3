"""Checks the winget and Scoop manifests that scripts/package wrote under DIST
against the zips beside them: what winget's 1.10.0 manifest schemas and
Scoop's app-manifest schema require, and what this release needs of them.

Usage: check-manifests.py DIST VERSION
Prints one "ok:" or "FAIL:" line per check; exits 1 if any failed.
"""
import hashlib
import json
import pathlib
import re
import sys
import zipfile

import yaml

dist = pathlib.Path(sys.argv[1])
version = sys.argv[2]
zips = {  # winget's architecture: the zip's name
    "x64": f"keepawake-{version}-windows-x86_64.zip",
    "x86": f"keepawake-{version}-windows-x86.zip",
}
scoop_arch = {"64bit": zips["x64"], "32bit": zips["x86"]}

failures = 0


def check(what, good, detail=""):
    global failures
    if good:
        print(f"ok: {what}")
    else:
        failures += 1
        print(f"FAIL: {what}" + (f": {detail}" if detail else ""))
    return good


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def members(zip_name):
    with zipfile.ZipFile(dist / zip_name) as archive:
        return set(archive.namelist())


sums = {name: sha256(dist / name) for name in zips.values()}

# --- winget ------------------------------------------------------------------

# The patterns and bounds below are those of winget's 1.10.0 schemas.
IDENTIFIER = re.compile(r'^[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}(\.[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}){1,7}$')
PACKAGE_VERSION = re.compile(r'^[^\\/:\*\?"<>\|\x01-\x1f]+$')
LOCALE = re.compile(r"^([a-zA-Z]{2,3}|[iI]-[a-zA-Z]+|[xX]-[a-zA-Z]{1,8})(-[a-zA-Z]{1,8})*$")
URL = re.compile(r"^([Hh][Tt][Tt][Pp][Ss]?)://.+$")
SHA256 = re.compile(r"^[A-Fa-f0-9]{64}$")
ARCHITECTURES = {"x86", "x64", "arm", "arm64", "neutral"}
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName",
                      "License", "ShortDescription", "ManifestType", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
}
INSTALLER_REQUIRED = ["Architecture", "InstallerUrl", "InstallerSha256"]


def text_within(manifest, key, low, high):
    value = manifest.get(key)
    return check(f"winget {key} is {low} to {high} characters", isinstance(value, str) and low <= len(value) <= high,
                 repr(value))


def winget():
    root = dist / "winget" / "manifests"
    files = sorted(p for p in root.rglob("*") if p.is_file()) if root.is_dir() else []
    if not check("winget manifests under dist/winget/manifests", len(files) == 3, [str(p) for p in files]):
        return
    folder = files[0].parent
    check("winget: the three files in one folder", all(p.parent == folder for p in files))
    loaded = {}
    for path in files:
        try:
            manifest = yaml.safe_load(path.read_text(encoding="utf-8"))
        except (yaml.YAMLError, UnicodeDecodeError) as problem:
            check(f"{path.name} parses as YAML", False, str(problem).replace("\n", " "))
            continue
        if not check(f"{path.name} parses as YAML, to a mapping", isinstance(manifest, dict), type(manifest).__name__):
            continue
        kind = manifest.get("ManifestType")
        if not check(f"{path.name}: ManifestType is version, defaultLocale or installer", kind in REQUIRED, repr(kind)):
            continue
        check(f"{path.name}: one {kind} manifest", kind not in loaded)
        loaded[kind] = (path, manifest)
        missing = [key for key in REQUIRED[kind] if manifest.get(key) in (None, "", [])]
        check(f"{path.name}: has {', '.join(REQUIRED[kind])}", not missing, f"missing {missing}")
        check(f"{path.name}: ManifestVersion 1.10.0", manifest.get("ManifestVersion") == "1.10.0",
              repr(manifest.get("ManifestVersion")))
        schema = f"$schema=https://aka.ms/winget-manifest.{kind}.1.10.0.schema.json"
        check(f"{path.name}: names the {kind} 1.10.0 schema", schema in path.read_text(encoding="utf-8"))
    if not check("winget: version, defaultLocale and installer manifests", set(loaded) == set(REQUIRED), sorted(loaded)):
        return

    identifiers = {manifest.get("PackageIdentifier") for _, manifest in loaded.values()}
    versions = {manifest.get("PackageVersion") for _, manifest in loaded.values()}
    if not check("winget: the three agree on PackageIdentifier", len(identifiers) == 1, identifiers):
        return
    check("winget: the three agree on PackageVersion", len(versions) == 1, versions)
    identifier = identifiers.pop()
    check(f"winget PackageIdentifier {identifier} has the schema's form",
          isinstance(identifier, str) and len(identifier) <= 128 and bool(IDENTIFIER.match(identifier)))
    check(f"winget PackageVersion is {version}", versions == {version}, versions)
    check("winget PackageVersion has the schema's form", bool(PACKAGE_VERSION.match(str(version))))

    parts = identifier.split(".")
    expected = root / identifier[0].lower() / pathlib.Path(*parts) / version
    check(f"winget folder is manifests/{identifier[0].lower()}/{'/'.join(parts)}/{version}", folder == expected,
          str(folder))
    check("winget: the package part of the identifier is keepawake", parts[-1] == "keepawake", identifier)
    names = {kind: path.name for kind, (path, _) in loaded.items()}
    version_manifest = loaded["version"][1]
    locale = version_manifest.get("DefaultLocale")
    check("winget DefaultLocale has the schema's form", isinstance(locale, str) and bool(LOCALE.match(locale)), locale)
    check("winget file names follow the identifier",
          names == {"version": f"{identifier}.yaml", "defaultLocale": f"{identifier}.locale.{locale}.yaml",
                    "installer": f"{identifier}.installer.yaml"}, names)

    texts = loaded["defaultLocale"][1]
    check("winget PackageLocale is the DefaultLocale", texts.get("PackageLocale") == locale,
          repr(texts.get("PackageLocale")))
    text_within(texts, "Publisher", 2, 256)
    text_within(texts, "PackageName", 2, 256)
    text_within(texts, "ShortDescription", 3, 256)
    check("winget License is MIT", texts.get("License") == "MIT", repr(texts.get("License")))
    check("winget Moniker is keepawake", texts.get("Moniker") == "keepawake", repr(texts.get("Moniker")))
    for key in ("PublisherUrl", "PackageUrl", "LicenseUrl"):
        if key in texts:
            check(f"winget {key} is an http(s) URL", isinstance(texts[key], str) and bool(URL.match(texts[key])),
                  repr(texts[key]))

    installer_manifest = loaded["installer"][1]
    installers = installer_manifest.get("Installers") or []
    check("winget Installers is a list of 1 to 1024", isinstance(installers, list) and 1 <= len(installers) <= 1024)
    seen = []
    for installer in installers:
        if not check("winget installer is a mapping", isinstance(installer, dict)):
            continue
        arch = installer.get("Architecture")
        seen.append(arch)
        missing = [key for key in INSTALLER_REQUIRED if not installer.get(key)]
        check(f"winget {arch} installer has {', '.join(INSTALLER_REQUIRED)}", not missing, f"missing {missing}")
        check(f"winget {arch}: Architecture is one the schema allows", arch in ARCHITECTURES, repr(arch))
        # A field of an installer may also be given once at the root, for all.
        def field(key):
            return installer.get(key, installer_manifest.get(key))
        check(f"winget {arch}: InstallerType zip", field("InstallerType") == "zip", repr(field("InstallerType")))
        check(f"winget {arch}: NestedInstallerType portable", field("NestedInstallerType") == "portable",
              repr(field("NestedInstallerType")))
        zip_name = zips.get(arch)
        if not check(f"winget {arch}: an architecture of this release", zip_name is not None, repr(arch)):
            continue
        url = installer.get("InstallerUrl")
        check(f"winget {arch}: InstallerUrl is an http(s) URL of at most 2048 characters",
              isinstance(url, str) and len(url) <= 2048 and bool(URL.match(url)), repr(url))
        check(f"winget {arch}: InstallerUrl ends in /{zip_name}", isinstance(url, str) and url.endswith("/" + zip_name),
              repr(url))
        digest = installer.get("InstallerSha256")
        check(f"winget {arch}: InstallerSha256 has the schema's form", isinstance(digest, str) and bool(SHA256.match(digest)),
              repr(digest))
        check(f"winget {arch}: InstallerSha256 is the SHA-256 of {zip_name}",
              isinstance(digest, str) and digest.lower() == sums[zip_name], f"{digest} against {sums[zip_name]}")
        nested = field("NestedInstallerFiles")
        if not check(f"winget {arch}: NestedInstallerFiles is a list of one or more", isinstance(nested, list) and nested):
            continue
        inside = members(zip_name)
        aliases = []
        for entry in nested:
            path = entry.get("RelativeFilePath") if isinstance(entry, dict) else None
            if not check(f"winget {arch}: a NestedInstallerFile has a RelativeFilePath of 1 to 512 characters",
                         isinstance(path, str) and 1 <= len(path) <= 512, repr(entry)):
                continue
            check(f"winget {arch}: {path} is in {zip_name}", path.replace("\\", "/") in inside, sorted(inside))
            check(f"winget {arch}: {path} is keepawake.exe", re.split(r"[\\/]", path)[-1] == "keepawake.exe")
            aliases.append(entry.get("PortableCommandAlias"))
        check(f"winget {arch}: PortableCommandAlias keepawake", aliases == ["keepawake"], aliases)
    check("winget: one x64 and one x86 installer", sorted(seen, key=str) == ["x64", "x86"], seen)


# --- Scoop -------------------------------------------------------------------

# The properties Scoop's schema allows (it allows no others), at the top, in
# an architecture, and in autoupdate and its architectures.
SCOOP_PROPERTIES = {"$schema", "_comment", "##", "architecture", "autoupdate", "bin", "persist", "checkver", "cookie",
                    "depends", "description", "env_add_path", "env_set", "extract_dir", "extract_to", "hash",
                    "homepage", "innosetup", "installer", "license", "notes", "post_install", "post_uninstall",
                    "pre_install", "pre_uninstall", "psmodule", "shortcuts", "suggest", "uninstaller", "url", "version"}
SCOOP_ARCH_PROPERTIES = {"bin", "checkver", "env_add_path", "env_set", "extract_dir", "hash", "installer",
                         "post_install", "post_uninstall", "pre_install", "pre_uninstall", "shortcuts", "uninstaller",
                         "url"}
SCOOP_AUTOUPDATE_PROPERTIES = {"architecture", "bin", "env_add_path", "env_set", "extract_dir", "hash", "installer",
                               "license", "notes", "persist", "psmodule", "shortcuts", "url"}
SCOOP_AUTOUPDATE_ARCH_PROPERTIES = {"bin", "env_add_path", "env_set", "extract_dir", "hash", "installer", "shortcuts",
                                    "url"}
SCOOP_CHECKVER_PROPERTIES = {"github", "re", "regex", "url", "jp", "jsonpath", "xpath", "reverse", "replace",
                             "useragent", "script", "sourceforge"}
SCOOP_HASH_EXTRACTION = {"find", "regex", "jp", "jsonpath", "xpath", "mode", "type", "url"}
SCOOP_HASH = re.compile(r"^([a-fA-F0-9]{64}|(sha1|sha256|sha512|md5):([a-fA-F0-9]{32}|[a-fA-F0-9]{40}|[a-fA-F0-9]{64}|[a-fA-F0-9]{128}))$")
SCOOP_VERSION = re.compile(r"^[\w\.\-+_]+$")


def only(what, mapping, allowed):
    extra = sorted(set(mapping) - allowed) if isinstance(mapping, dict) else ["(not an object)"]
    check(f"scoop {what}: only properties the schema allows", not extra, f"also {extra}")


def scoop():
    path = dist / "scoop" / "keepawake.json"
    try:
        manifest = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError) as problem:
        check("scoop/keepawake.json parses as JSON", False, str(problem))
        return
    if not check("scoop/keepawake.json parses as JSON, to an object", isinstance(manifest, dict)):
        return
    missing = [key for key in ("version", "homepage", "license") if not manifest.get(key)]
    check("scoop: has version, homepage, license (the schema's required)", not missing, f"missing {missing}")
    only("manifest", manifest, SCOOP_PROPERTIES)
    check(f"scoop version is {version}", manifest.get("version") == version, repr(manifest.get("version")))
    check("scoop version has the schema's form", bool(SCOOP_VERSION.match(str(manifest.get("version")))))
    description = manifest.get("description")
    check("scoop description is a one-line string", isinstance(description, str) and description and "\n" not in description)
    check("scoop homepage is an http(s) URL", bool(URL.match(str(manifest.get("homepage")))), repr(manifest.get("homepage")))
    check("scoop license is MIT", manifest.get("license") == "MIT", repr(manifest.get("license")))
    bin_ = manifest.get("bin")
    check("scoop bin is keepawake.exe", bin_ == "keepawake.exe", repr(bin_))

    architectures = manifest.get("architecture") or {}
    only("architecture", architectures, {"32bit", "64bit", "arm64"})
    check("scoop: a 64bit and a 32bit architecture", isinstance(architectures, dict) and set(architectures) == {"64bit", "32bit"},
          sorted(architectures))
    for arch, zip_name in scoop_arch.items():
        entry = architectures.get(arch) if isinstance(architectures, dict) else None
        if not check(f"scoop {arch}: an object", isinstance(entry, dict)):
            continue
        only(arch, entry, SCOOP_ARCH_PROPERTIES)
        url, digest = entry.get("url"), entry.get("hash")
        check(f"scoop {arch}: url ends in /{zip_name}, without a variable",
              isinstance(url, str) and url.endswith("/" + zip_name) and "$" not in url and bool(URL.match(url)), repr(url))
        check(f"scoop {arch}: hash has the schema's form", isinstance(digest, str) and bool(SCOOP_HASH.match(digest)), repr(digest))
        check(f"scoop {arch}: hash is the SHA-256 of {zip_name}",
              isinstance(digest, str) and digest.lower().removeprefix("sha256:") == sums[zip_name],
              f"{digest} against {sums[zip_name]}")
        # Scoop unpacks the zip, takes extract_dir from it and runs bin from there.
        extract_dir = entry.get("extract_dir", manifest.get("extract_dir", ""))
        program = entry.get("bin", bin_)
        inside_path = f"{extract_dir}/{program}" if extract_dir else str(program)
        check(f"scoop {arch}: {inside_path} is in {zip_name}", inside_path.replace("\\", "/") in members(zip_name),
              sorted(members(zip_name)))

    checkver = manifest.get("checkver")
    check("scoop checkver is given", isinstance(checkver, (str, dict)) and bool(checkver), repr(checkver))
    if isinstance(checkver, dict):
        only("checkver", checkver, SCOOP_CHECKVER_PROPERTIES)
        regex = checkver.get("regex", checkver.get("re"))
        if regex is not None:
            found = re.search(regex, " ".join(zips.values()))
            check(f"scoop checkver regex finds {version} in this release's zip names",
                  bool(found) and found.group(1) == version, regex)

    autoupdate = manifest.get("autoupdate")
    if not check("scoop autoupdate is an object", isinstance(autoupdate, dict)):
        return
    only("autoupdate", autoupdate, SCOOP_AUTOUPDATE_PROPERTIES)
    later = autoupdate.get("architecture") or {}
    only("autoupdate architecture", later, {"32bit", "64bit", "arm64"})
    sums_text = (dist / "SHA256SUMS").read_text(encoding="utf-8")
    for arch, zip_name in scoop_arch.items():
        now = architectures.get(arch) or {}
        entry = later.get(arch) if isinstance(later, dict) else None
        if not check(f"scoop autoupdate {arch}: an object", isinstance(entry, dict)):
            continue
        only(f"autoupdate {arch}", entry, SCOOP_AUTOUPDATE_ARCH_PROPERTIES)
        for key in ("url", "extract_dir"):
            value = entry.get(key, autoupdate.get(key))
            # Every mention of the version is the variable, or a later one
            # would be looked for partly where this one is.
            check(f"scoop autoupdate {arch}: {key} has $version for each {version} of this one's",
                  isinstance(value, str) and "$version" in value and version not in value
                  and value.replace("$version", version) == now.get(key),
                  f"{value!r} against {now.get(key)!r}")
        extraction = entry.get("hash", autoupdate.get("hash"))
        if not check(f"scoop autoupdate {arch}: hash is read from a file", isinstance(extraction, dict)):
            continue
        only(f"autoupdate {arch} hash", extraction, SCOOP_HASH_EXTRACTION)
        # What Scoop does with it: the URL's variables, then the regex's, then
        # the first match's first group is the hash.
        url = str(now.get("url", ""))
        base, basename = url.rsplit("/", 1)
        hash_url = str(extraction.get("url", "")).replace("$baseurl", base).replace("$url", url)
        check(f"scoop autoupdate {arch}: hash is read from the SHA256SUMS beside the zip", hash_url == base + "/SHA256SUMS",
              hash_url)
        regex = extraction.get("regex", extraction.get("find"))
        if regex is None:
            # Scoop's own search for a line naming the file.
            regex = r"([a-fA-F0-9]{32,128})[\x20\t]+.*$basename(?:\s|$)"
        regex = (str(regex).replace("$sha256", "([a-fA-F0-9]{64})").replace("$basename", re.escape(basename))
                 .replace("$version", re.escape(version)))
        found = re.search(regex, sums_text, re.IGNORECASE)
        check(f"scoop autoupdate {arch}: reads the hash of {zip_name} from SHA256SUMS",
              bool(found) and found.group(1).lower() == sums[zip_name], f"{regex} gave {found and found.group(1)}")


winget()
scoop()
sys.exit(1 if failures else 0)
