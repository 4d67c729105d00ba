"""Adds to a repaired wheel the licences of the libraries auditwheel grafted into it.

auditwheel records each grafted library's Debian package in the wheel's SBOM
(dist-info/sboms/auditwheel.cdx.json). For each such package this writes its
copyright file, and every licence text of /usr/share/common-licenses that the
file names, under dist-info/licenses/<package>/, and rewrites RECORD with
their hashes. Usage: python scripts/wheel_licenses.py WHEEL
"""
import base64
import hashlib
import json
import pathlib
import re
import subprocess
import sys
import urllib.parse
import zipfile

DOC, COMMON = pathlib.Path("/usr/share/doc"), pathlib.Path("/usr/share/common-licenses")


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def licence_files(package):
    """(name under licenses/, bytes) of a Debian package's copyright and the common licences it names."""
    copyright_path = DOC / package / "copyright"
    if not copyright_path.is_file():
        sys.exit(f"wheel_licenses: no copyright file for the grafted package {package} at {copyright_path}")
    text = copyright_path.read_bytes()
    yield f"{package}/copyright", text
    for name in sorted(set(re.findall(rb"/usr/share/common-licenses/([A-Za-z0-9.+-]+[A-Za-z0-9])", text))):
        path = COMMON / name.decode()
        if path.is_file():
            yield f"{package}/{path.name}", path.read_bytes()


def grafted_packages(names):
    """The Debian packages of the libraries auditwheel grafted (<pkg>.libs/<lib>-<8 hex>.so...), for a wheel it wrote
    no SBOM for: it looks each library up under the path the loader's cache gives, which dpkg does not know when that
    path goes through the /lib link of a merged /usr."""
    libs = {re.sub(r"-[0-9a-f]{8}(?=\.so)", "", n.split("/")[-1]) for n in names if re.fullmatch(r"[^/]+\.libs/[^/]+", n)}
    packages = set()
    for lib in libs:
        found = subprocess.run(["dpkg-query", "-S", f"*/{lib}"], capture_output=True, text=True).stdout
        packages |= {owner.strip().split(":")[0] for line in found.splitlines() for owner in line.split(": ")[0].split(",")}
    return packages


def main(wheel_path):
    wheel_path = pathlib.Path(wheel_path)
    with zipfile.ZipFile(wheel_path) as zf:
        entries = [(info, zf.read(info)) for info in zf.infolist()]
    dist_info = next(i.filename.split("/")[0] for i, _ in entries if i.filename.endswith(".dist-info/RECORD"))
    sbom = next((d for i, d in entries if re.fullmatch(rf"{re.escape(dist_info)}/sboms/[^/]+\.json", i.filename)), None)
    packages = sorted({urllib.parse.unquote(c["purl"]).split("/")[2].split("@")[0]
                       for c in json.loads(sbom)["components"] if c.get("purl", "").startswith("pkg:deb/")}
                      if sbom is not None else grafted_packages([i.filename for i, _ in entries]))
    if not packages:
        sys.exit(f"wheel_licenses: no Debian package found for the libraries grafted into {wheel_path.name}")
    added = [(f"{dist_info}/licenses/{name}", data) for p in packages for name, data in licence_files(p)]
    record_name = f"{dist_info}/RECORD"
    record = next(d for i, d in entries if i.filename == record_name).decode().splitlines()
    record = [line for line in record if line and not line.startswith(record_name + ",")]
    record += [record_line(name, data) for name, data in added] + [f"{record_name},,"]
    tmp = wheel_path.with_suffix(".tmp")
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as zf:
        for info, data in entries:
            if info.filename != record_name:
                zf.writestr(info, data)
        for name, data in added:
            zf.writestr(name, data)
        zf.writestr(record_name, "\n".join(record) + "\n")
    tmp.replace(wheel_path)
    print(f"wheel_licenses: {', '.join(packages)}: {len(added)} licence files in {dist_info}/licenses/")


if __name__ == "__main__":
    main(*sys.argv[1:])
