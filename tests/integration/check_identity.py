#!/usr/bin/env python3
"""Packs the hello example with identity options and reads the result back with other tools.

    check_identity.py TAVRIN_PACK LAUNCHER.exe APP_DIR ICONS_DIR WORK_DIR

pefile and wrestool (icoutils) must find, byte for byte (and tavrin-pack list show): the console subsystem, the icon images of an
.ico file and a PNG file as given and a group that lists them, the version block's texts and numbers,
and the launcher's manifest with only its execution level changed; with no options, the launcher's
own icons and manifest and a version block of the output's name. The sections the launcher had
keep their bytes. osslsigncode signs and verifies each package (a self-made certificate), and the
signed package still verifies with tavrin-pack. A package whose resource tree is damaged fails
verification with bad-resources. Exit code 1 when a check fails.
"""
import os
import shutil
import struct
import subprocess
import sys

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
failures = []


def check(condition, what):
    print(("ok    " if condition else "FAIL  ") + what)
    if not condition:
        failures.append(what)


def without_settings(data):
    """`data` with the launch settings record (which the packer fills in) blanked."""
    at = data.find(b"TAVRIN_ONEFILE_SETTINGS1")
    if at < 0:
        return data
    return data[:at] + bytes(1096) + data[at + 1096:]


def run(*command, expect=0):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != expect:
        sys.exit("%s exited with %d, not %d:\n%s%s" % (command[0], result.returncode, expect,
                                                       result.stdout.decode(errors="replace"),
                                                       result.stderr.decode(errors="replace")))
    return result


def resources(pe):
    """{(type, id): data} of the image's resources (one language each)."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                entry = language.data.struct
                found[(kind.id, name.id)] = pe.get_data(entry.OffsetToData, entry.Size)
    return found


def make_ico(images):
    """An .ico file of (width, height, png bytes) images."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for width, height, png in images:
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(png), offset + len(data))
        data += png
    return header + entries + data


def wrestool_raw(exe, kind, name):
    return run("wrestool", "-x", "--raw", "-t", str(kind), "-n", str(name), exe).stdout


def version_texts(pe):
    texts = {}
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                texts.update({k.decode(): v.decode() for k, v in table.entries.items()})
    return texts


def main(argv):
    tool, launcher, app, icons, work = argv
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    original = pefile.PE(launcher)
    original_resources = resources(original)

    pngs = {side: open(os.path.join(icons, "launcher-%d.png" % side), "rb").read() for side in (16, 32, 48, 256)}
    ico = os.path.join(work, "three.ico")
    with open(ico, "wb") as f:
        f.write(make_ico([(16, 16, pngs[16]), (48, 48, pngs[48]), (256, 256, pngs[256])]))
    png = os.path.join(icons, "launcher-32.png")
    given = [pngs[16], pngs[48], pngs[256], pngs[32]]

    full = os.path.join(work, "full.exe")
    run(tool, app, "-o", full, "--launcher", launcher, "-q", "--console", "--icon", ico, "--icon", png,
        "--company", "Acme Ltd", "--product", "Road Runner", "--app-version", "2.3.4.5",
        "--description", "Runs fast", "--copyright", "\u00a9 2026 Acme", "--original-filename", "RR.exe",
        "--manifest-level", "highestAvailable")
    pe = pefile.PE(full)
    found = resources(pe)
    check(pe.OPTIONAL_HEADER.Subsystem == 3, "console subsystem (3)")
    check(not pe.get_warnings(), "pefile has no warnings: %s" % pe.get_warnings())

    icon_ids = sorted(name for kind, name in found if kind == RT_ICON)
    check(icon_ids == [1, 2, 3, 4], "icons 1 to 4, got %s" % icon_ids)
    for i, image in enumerate(given, 1):
        check(found.get((RT_ICON, i)) == image, "icon %d: pefile reads the input's bytes" % i)
        check(wrestool_raw(full, RT_ICON, i) == image, "icon %d: wrestool reads the input's bytes" % i)
    group = found.get((RT_GROUP_ICON, 1), b"")
    check(wrestool_raw(full, RT_GROUP_ICON, 1) == group, "wrestool reads the icon group pefile reads")
    reserved, kind, count = struct.unpack_from("<HHH", group)
    check((reserved, kind, count) == (0, 1, 4), "icon group header: 4 icons")
    for i in range(min(count, 4)):
        width, height, colours, _, planes, bits, size, ident = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        side = (16, 48, 256, 32)[i]
        check((width, height, bits, size, ident) == (side % 256, side % 256, 32, len(given[i]), i + 1),
              "icon group entry %d: %dx%d, 32 bits, %d bytes, id %d" % (i + 1, side, side, len(given[i]), i + 1))

    texts = version_texts(pe)
    want = {"CompanyName": "Acme Ltd", "ProductName": "Road Runner", "FileDescription": "Runs fast",
            "LegalCopyright": "\u00a9 2026 Acme", "OriginalFilename": "RR.exe", "InternalName": "RR",
            "FileVersion": "2.3.4.5", "ProductVersion": "2.3.4.5"}
    check(texts == want, "version texts %s" % texts)
    fixed = pe.VS_FIXEDFILEINFO[0]
    check((fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
          == (0x20003, 0x40005, 0x20003, 0x40005), "version numbers 2.3.4.5")
    check(wrestool_raw(full, RT_VERSION, 1) == found.get((RT_VERSION, 1)), "wrestool reads the version block pefile reads")
    manifest = original_resources[(RT_MANIFEST, 1)].replace(b'level="asInvoker"', b'level="highestAvailable"')
    check(found.get((RT_MANIFEST, 1)) == manifest, "manifest: the launcher's, level highestAvailable")

    listed = run(tool, "list", full).stdout.decode()
    for line in ("subsystem    console (subsystem 3)", "company      Acme Ltd", "file name    RR.exe",
                 "version      2.3.4.5 (file), 2.3.4.5 (product)", "manifest     execution level highestAvailable",
                 "icon         16x16/32 48x48/32 256x256/32 32x32/32 (4 images)"):
        check("  " + line + "\n" in listed, "list shows '%s'" % line)
    check("console (subsystem 3); resources: version block, manifest, icon group of 4 images" in
          run(tool, "verify", full).stdout.decode(), "verify names the subsystem and the resources")

    # The launcher's sections keep their bytes; its old resource section keeps its addresses.
    sections = {s.Name.rstrip(b"\0"): s for s in pe.sections}
    for section in original.sections:
        name = section.Name.rstrip(b"\0")
        if name == b".rsrc":
            kept = sections.get(b".oldrsrc")
            check(kept is not None and kept.VirtualAddress == section.VirtualAddress and kept.SizeOfRawData == 0,
                  "the old .rsrc keeps its address, without data")
        else:
            check(without_settings(sections[name].get_data()) == without_settings(section.get_data()) and
                  sections[name].VirtualAddress == section.VirtualAddress, "%s unchanged" % name.decode())

    # No options: the launcher's icons and manifest, a neutral version block named after the output.
    plain = os.path.join(work, "plain.exe")
    run(tool, app, "-o", plain, "--launcher", launcher, "-q")
    plain_pe = pefile.PE(plain)
    check(plain_pe.OPTIONAL_HEADER.Subsystem == 2, "default: windowed subsystem (2)")
    plain_resources = resources(plain_pe)
    check({k: v for k, v in plain_resources.items() if k[0] != RT_VERSION} ==
          {k: v for k, v in original_resources.items() if k[0] != RT_VERSION}, "default: the launcher's icons and manifest")
    texts = version_texts(plain_pe)
    want = {"CompanyName": "", "ProductName": "plain", "FileDescription": "plain", "LegalCopyright": "",
            "OriginalFilename": "plain.exe", "InternalName": "plain", "FileVersion": "0.0.0.0", "ProductVersion": "0.0.0.0"}
    check(texts == want, "default: neutral version texts %s" % texts)

    # Each option alone, signed and verified.
    key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
        "-subj", "/CN=Tavrin identity test", "-addext", "extendedKeyUsage=codeSigning")
    for name, options in (("console", ["--console"]), ("icon", ["--icon", png]),
                          ("version", ["--app-version", "9.8.7.6", "--company", "Signed Co"]),
                          ("level", ["--manifest-level", "requireAdministrator"])):
        exe, signed = os.path.join(work, name + ".exe"), os.path.join(work, name + "-signed.exe")
        run(tool, app, "-o", exe, "--launcher", launcher, "-q", *options)
        run("osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-in", exe, "-out", signed)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(verified.returncode == 0, "%s: osslsigncode verifies the signature" % name)
        check(subprocess.run([tool, "verify", "-q", signed]).returncode == 0, "%s: the signed package verifies" % name)

    # A damaged resource tree: the root table claims 65,535 entries.
    damaged = os.path.join(work, "damaged.exe")
    data = bytearray(open(full, "rb").read())
    struct.pack_into("<H", data, sections[b".rsrc"].PointerToRawData + 14, 0xFFFF)
    open(damaged, "wb").write(data)
    result = subprocess.run([tool, "verify", damaged], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    check(result.returncode == 1 and b"bad-resources: " in result.stderr, "a damaged tree fails verification: bad-resources")

    print("%d checks failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
