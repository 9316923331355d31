#!/usr/bin/python3
"""Checks the shipped 32-bit FlashGate.exe as it lies on disk.

It cannot be run here, so the file itself is read, through pefile: the PE headers, the
imports (only functions Windows XP SP3 already has) and the resources (icon, version record,
manifest); and its code, through objdump and GNU as: only instructions a Pentium Pro has.
Prints one "ok:" or "FAIL:" line per check; exits non-zero if any check failed.

Usage: check_shipped_pe.py PATH_TO_FlashGate.exe
"""

import re
import shutil
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET
from pathlib import Path

import pefile

ROOT = Path(__file__).resolve().parents[2]

ICON_FILE = ROOT / "res" / "flashgate.ico"
RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 14, 16, 24
DIR_BASERELOC, DIR_DELAY_IMPORT = 5, 13
PE32 = 0x10B

# Windows XP SP3's own export table for its system DLLs, copied with its header. Whether a
# function exists on XP is read from here, never from a note beside a name.
XP_EXPORTS_FILE = Path(__file__).resolve().parent / "windows-xp-sp3-x86-exports.txt"

# Functions the program looks up with GetProcAddress instead of importing. Those it needs on
# every Windows must be in XP's table; the others it uses only where Windows has them, and
# goes on without them where it does not (XP lacks it).
NEEDED_LOOKUPS = {("shell32.dll", "ShellExecuteExW"), ("comctl32.dll", "InitCommonControlsEx")}
OPTIONAL_LOOKUPS = {("kernel32.dll", "SetDefaultDllDirectories")}

# Each icon image as icotool lists it, in order: 32x32 in 2 colours, 32x32 and 16x16 in 16.
ICON_IMAGES = ["--width=32 --height=32 --bit-depth=1 --palette-size=2",
               "--width=32 --height=32 --bit-depth=4 --palette-size=16",
               "--width=16 --height=16 --bit-depth=4 --palette-size=16"]

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
WS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
WS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {  # Vista, 7, 8, 8.1, 10 and 11
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


def only_one(resources, kind, name):
    """The data of the one resource of this type, which must have this name."""
    found = [(key[1:], data) for key, data in resources.items() if key[0] == kind]
    if len(found) != 1 or found[0][0][0] != name:
        raise ValueError(f"resources of type {kind} are {[key for key, _ in found]} "
                         f"(name, language), expected one named {name}")
    return found[0][1]


def check_headers(pe):
    """An i386 windowed program (main already refuses anything but PE32)."""
    problems = []
    if pe.FILE_HEADER.Machine != 0x14C:
        problems.append(f"machine {pe.FILE_HEADER.Machine:#x}, not i386")
    if pe.OPTIONAL_HEADER.Subsystem != 2:
        problems.append(f"subsystem {pe.OPTIONAL_HEADER.Subsystem}, not WINDOWS_GUI")
    return problems


def check_reproducible_header(pe):
    """No build time in the header, and a checksum that is right for the file as it lies
    (signed or not: the signer writes it anew)."""
    stamp = pe.FILE_HEADER.TimeDateStamp
    problems = [] if stamp == 0 else [
        f"TimeDateStamp is {stamp:#x}: the build's time got into the file"]
    stored, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if stored != computed:
        problems.append(f"CheckSum field holds {stored:#x}, the file's checksum is {computed:#x}")
    return problems


def seh_registrations(exe_path):
    """Instructions that touch fs:[0], the head of the thread's SEH chain: a program marked
    NO_SEH that registers a handler anyway crashes when Windows refuses to call it."""
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if objdump is None:
        print("note: i686-w64-mingw32-objdump not found, SEH registration is not checked")
        return []
    listing = subprocess.run([objdump, "-d", str(exe_path)], capture_output=True, text=True,
                             check=True).stdout
    return [f"registers an SEH handler: {line.strip()}" for line in listing.splitlines()
            if re.search(r"%fs:(0x0)?\(|%fs:0x0\b", line)]


def check_marks(pe, path):
    """The marks a shipped program carries: ASLR with relocations kept so the image can
    actually move, DEP, no SEH handlers (a PE32 without a SafeSEH table says so), and
    Terminal-Server awareness, without which a Remote Desktop host hands the program a
    private Windows folder that process creation does not search."""
    marks = pe.OPTIONAL_HEADER.DllCharacteristics
    problems = [f"DllCharacteristics {marks:#06x} lacks {name}"
                for bit, name in ((0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"),
                                  (0x400, "NO_SEH"), (0x8000, "TERMINAL_SERVER_AWARE"))
                if not marks & bit]
    if directory_size(pe, DIR_BASERELOC) == 0:
        problems.append("no base relocation directory")
    problems += seh_registrations(path)
    if pe.FILE_HEADER.Characteristics & 0x1:
        problems.append("IMAGE_FILE_RELOCS_STRIPPED is set")
    return problems


def check_instruction_set(exe_path):
    """Every instruction in the code is one a Pentium Pro has (the i686 baseline, CMOV
    included; no MMX, no SSE, no FXSAVE). objdump disassembles the code and GNU as, told
    which processor to assemble for, judges each instruction it reads back: as refuses what
    that processor lacks. Bytes that objdump decodes as no instruction at all ("(bad)") run
    on no processor: they are data (here the constructor and destructor lists that ld puts
    at the end of .text), named in a note. Other data is judged like code, so it can only
    ever fail the check, never pass it; an instruction that as cannot read back fails it."""
    objdump, assembler = (shutil.which(f"i686-w64-mingw32-{tool}") for tool in ("objdump", "as"))
    if objdump is None or assembler is None:
        return ["i686-w64-mingw32-objdump or -as not found: the instructions cannot be judged"]
    listing = subprocess.run([objdump, "-d", "--no-show-raw-insn", str(exe_path)],
                             capture_output=True, text=True, check=True).stdout
    instructions, undecodable = [], []
    for line in listing.splitlines():
        if (found := re.match(r"\s+([0-9a-f]+):\t(.*)$", line)) is None:
            continue
        address, text = found.groups()
        # objdump's notes after the operands (symbol names, computed addresses) are not
        # assembly.
        text = re.sub(r"\s*(<[^>]*>|#.*)$", "", text)
        (undecodable if text == "(bad)" else instructions).append((address, text))
    if not instructions:
        return ["objdump found no instructions"]
    if undecodable:
        print(f"note: {len(undecodable)} bytes decode as no instruction, taken as data: "
              + " ".join(address for address, _ in undecodable))
    source = [".arch i686", ".arch .nofxsr", ".allow_index_reg", ".code32"]
    with tempfile.TemporaryDirectory() as folder:
        listing_file = Path(folder) / "code.s"
        listing_file.write_text("\n".join(source + [text for _, text in instructions]) + "\n")
        assembled = subprocess.run([assembler, "-o", str(Path(folder) / "code.o"),
                                    str(listing_file)], capture_output=True, text=True)
    problems = []
    for error in assembled.stderr.splitlines():
        if (found := re.match(r".*?:(\d+): Error: (.*)$", error)) is None:
            continue
        address, text = instructions[int(found.group(1)) - len(source) - 1]
        beyond = re.search(r"not supported on|unsupported instruction", found.group(2))
        problems.append(f"0x{address}: {text}: " + (
            "not on a Pentium Pro" if beyond else f"cannot be judged ({found.group(2)})"))
    if assembled.returncode != 0 and not problems:
        problems.append(f"as failed: {assembled.stderr.strip()}")
    return problems


def check_versions(pe):
    """Marked to load on Windows XP (5.1)."""
    header = pe.OPTIONAL_HEADER
    return [f"{what} version {major}.{minor} is above 5.1"
            for what, (major, minor) in (
                ("operating system", (header.MajorOperatingSystemVersion,
                                      header.MinorOperatingSystemVersion)),
                ("subsystem", (header.MajorSubsystemVersion, header.MinorSubsystemVersion)))
            if (major, minor) > (5, 1)]


def directory_size(pe, index):
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    return directories[index].Size if index < len(directories) else 0


def imports(pe):
    """{dll as named: [function name, or '#ordinal']} from the import table."""
    return {entry.dll.decode("ascii"): [f"#{i.ordinal}" if i.import_by_ordinal else
                                         i.name.decode("ascii") for i in entry.imports]
            for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


def resources_of(pe):
    """{(type, name, language): data} for every resource, names as ids or strings."""
    def key(entry):
        return entry.id if entry.name is None else str(entry.name)
    found = {}
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in root.entries if root else []:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[(key(kind), key(name), key(language))] = pe.get_data(
                    data.OffsetToData, data.Size)
    return found


def read_export_table(path=XP_EXPORTS_FILE):
    """{dll: {function names}} from a table of "[dll]" sections and "ordinal=name" lines."""
    table, dll = {}, None
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            dll = table.setdefault(line[1:-1].lower(), set())
        elif "=" in line and dll is not None:
            dll.add(line.split("=", 1)[1])
        else:
            raise ValueError(f"{path.name}: unexpected line {line!r}")
    return table


def missing_on_xp(xp, dll, function):
    """Why `dll`!`function` cannot be had on XP SP3, or None when XP exports it."""
    dll = dll.lower()
    if dll not in xp:
        return f"{dll} is not a system DLL of Windows XP SP3"
    if function not in xp[dll]:
        return f"{dll}!{function} is not exported by Windows XP SP3"
    return None


def check_imports(pe, xp):
    """Every import, by DLL and name, is exported by XP SP3, or the loader refuses the whole
    program there before any of its code runs."""
    problems = []
    for dll, functions in imports(pe).items():
        for function in functions:
            if function.startswith("#"):
                problems.append(f"{dll}!{function} is imported by ordinal")
            elif (why := missing_on_xp(xp, dll, function)) is not None:
                problems.append(why)
    if directory_size(pe, DIR_DELAY_IMPORT):
        problems.append("delay-load imports present (the check reads only the import table)")
    return problems


def looked_up_names(pe):
    """Names in the image that look like Windows functions (NUL-terminated ASCII words in
    CamelCase) and are not imports: what the code hands to GetProcAddress. Only the sections
    are read, what Windows maps: a signature after them is no code's. The C runtime's
    start-up also looks up __register_frame_info and __deregister_frame_info, in a libgcc
    DLL only where one is already loaded; those are not Windows functions and not read here."""
    imported = {f for functions in imports(pe).values() for f in functions}
    mapped = b"\0".join(section.get_data() for section in pe.sections)
    words = re.findall(rb"(?<![\x21-\x7e])([A-Z][a-z0-9]+(?:[A-Z][a-z0-9]*)+)\0", mapped)
    return {word.decode("ascii") for word in words} - imported


def check_run_time_lookups(pe, xp):
    """Each function looked up at run time is listed as needed or optional, and each needed
    one is exported by XP SP3."""
    listed = NEEDED_LOOKUPS | OPTIONAL_LOOKUPS
    found = looked_up_names(pe)
    problems = [f"{name} is looked up at run time but not listed as needed or optional"
                for name in sorted(found - {function for _, function in listed})]
    problems += [why for dll, function in sorted(NEEDED_LOOKUPS)
                 if (why := missing_on_xp(xp, dll, function)) is not None]
    return problems


def icon_pictures(ico, folder):
    """Each image of an icon file, as icotool lists it and the PNG picture it decodes to."""
    listing = subprocess.run(["icotool", "-l", str(ico)], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    pictures = Path(folder, ico.stem)
    pictures.mkdir()
    subprocess.run(["icotool", "-x", "-o", str(pictures), str(ico)], capture_output=True,
                   check=True)
    return listing, [png.read_bytes() for png in sorted(pictures.iterdir())]


def check_icon(resources, exe_path):
    """One icon group, as wrestool extracts it, with the three images of ICON_IMAGES, each
    the same picture as in res/flashgate.ico."""
    groups = [key for key in resources if key[0] == RT_GROUP_ICON]
    if len(groups) != 1:
        return [f"{len(groups)} RT_GROUP_ICON resources, expected 1"]
    with tempfile.TemporaryDirectory() as folder:
        extracted = Path(folder, "extracted.ico")
        extracted.write_bytes(subprocess.run(["wrestool", "-x", "-t", str(RT_GROUP_ICON),
                                              exe_path], capture_output=True, check=True).stdout)
        listing, pictures = icon_pictures(extracted, folder)
        if [line.split(" ", 2)[2] for line in listing] != ICON_IMAGES:
            return [f"the icon's images are {listing}, expected {ICON_IMAGES}"]
        if pictures != icon_pictures(ICON_FILE, folder)[1]:
            return [f"its pictures differ from {ICON_FILE.name}'s"]
    return []


def check_version_record(pe, resources):
    """One version record, 1.0.0.0 / "1.00", with the names Explorer shows."""
    only_one(resources, RT_VERSION, 1)
    if not hasattr(pe, "VS_FIXEDFILEINFO") or \
            pe.VS_VERSIONINFO[0].Key != b"VS_VERSION_INFO" or \
            pe.VS_FIXEDFILEINFO[0].Signature != 0xFEEF04BD:
        return ["not a VS_VERSIONINFO record"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    file_ms, file_ls = fixed.FileVersionMS, fixed.FileVersionLS
    product_ms, product_ls = fixed.ProductVersionMS, fixed.ProductVersionLS
    problems = [f"fixed {what} is {ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
                for what, ms, ls in (("FileVersion", file_ms, file_ls),
                                     ("ProductVersion", product_ms, product_ls))
                if (ms, ls) != (0x10000, 0)]
    strings = {name.decode("utf-8"): value.decode("utf-8")
               for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
               for table in info.StringTable for name, value in table.entries.items()}
    wanted = {"FileVersion": "1.00", "ProductVersion": "1.00", "ProductName": "FlashGate",
              "OriginalFilename": "FlashGate.exe"}
    problems += [f"{name} is {strings.get(name)!r}, expected {value!r}"
                 for name, value in wanted.items() if strings.get(name) != value]
    problems += [f"{name} is empty or missing" for name in
                 ("CompanyName", "FileDescription", "InternalName", "LegalCopyright")
                 if not strings.get(name, "").strip()]
    return problems


def check_manifest(resources):
    """The program's own identity, asInvoker, Vista to 11 declared, common controls 6, and
    DPI awareness that Windows scales the box for."""
    try:
        root = ET.fromstring(only_one(resources, RT_MANIFEST, 1))
    except ET.ParseError as error:
        return [f"manifest is not well-formed XML: {error}"]
    problems = []
    # Windows refuses to start a program whose own assemblyIdentity has a version of other
    # than four numbers ("the side-by-side configuration is incorrect"); Wine does not.
    own = [e.attrib for e in root.findall(ASM_V1 + "assemblyIdentity")]
    wanted_own = {"type": "win32", "name": "FlashGate", "version": "1.0.0.0"}
    if len(own) != 1 or any(own[0].get(k) != v for k, v in wanted_own.items()):
        problems.append(f"the program's own assemblyIdentity is {own}, expected one with "
                        f"{wanted_own}")
    levels = [e.get("level") for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    if levels != ["asInvoker"]:
        problems.append(f"requestedExecutionLevel {levels}, expected ['asInvoker']")
    declared = {e.get("Id", "").lower() for e in root.iter(COMPAT + "supportedOS")}
    problems += [f"supportedOS {os_id} missing" for os_id in sorted(SUPPORTED_OS - declared)]
    controls = [e.attrib for e in root.iter(ASM_V1 + "assemblyIdentity")
                if e.get("name") == "Microsoft.Windows.Common-Controls"]
    wanted = {"type": "win32", "version": "6.0.0.0", "processorArchitecture": "*",
              "publicKeyToken": "6595b64144ccf1df"}
    if len(controls) != 1 or any(controls[0].get(k) != v for k, v in wanted.items()):
        problems.append(f"Common-Controls dependency {controls}, expected one with {wanted}")
    # A message box cannot redraw itself for a new DPI, so only Per-Monitor v2 (Windows 10
    # 1703 on), where Windows scales dialogs, may stand before the system-aware fallback;
    # plain PerMonitor (8.1, 10 before 1703) would draw the box at the wrong size.
    awareness = [[value.strip().lower() for value in (e.text or "").split(",")]
                 for e in root.iter(WS_2016 + "dpiAwareness")]
    if awareness != [["permonitorv2", "system"]]:
        problems.append(f"dpiAwareness {awareness} in the 2016 WindowsSettings namespace, "
                        "expected PerMonitorV2, System")
    aware = [(e.text or "").strip().lower() for e in root.iter(WS_2005 + "dpiAware")]
    if aware != ["true"]:
        problems.append(f"dpiAware {aware} in the 2005 WindowsSettings namespace, expected "
                        "true (system-aware before Windows 10 1607)")
    return problems


def main(argv):
    if len(argv) != 2:
        sys.exit(f"usage: {Path(argv[0]).name} PATH_TO_FlashGate.exe")
    try:
        pe = pefile.PE(data=Path(argv[1]).read_bytes())
        if pe.OPTIONAL_HEADER.Magic != PE32:
            raise ValueError(f"optional header magic {pe.OPTIONAL_HEADER.Magic:#x}, not PE32")
        resources = resources_of(pe)
        xp = read_export_table()
    except (OSError, ValueError, struct.error, pefile.PEFormatError) as error:
        print(f"FAIL: {argv[1]} is not a readable PE32 file: {error}")
        return 1
    checks = [
        ("PE32 i386 windowed program", lambda: check_headers(pe)),
        ("no build time, correct checksum", lambda: check_reproducible_header(pe)),
        ("DYNAMIC_BASE with relocations, NX_COMPAT, NO_SEH, TERMINAL_SERVER_AWARE",
         lambda: check_marks(pe, argv[1])),
        ("OS and subsystem versions at most 5.1", lambda: check_versions(pe)),
        ("instructions a Pentium Pro has (i686 with CMOV, nothing later)",
         lambda: check_instruction_set(argv[1])),
        ("imports exported by Windows XP SP3", lambda: check_imports(pe, xp)),
        ("run-time lookups of CamelCase names XP SP3 needs are exported by it",
         lambda: check_run_time_lookups(pe, xp)),
        ("icon matches res/flashgate.ico", lambda: check_icon(resources, argv[1])),
        ("version record", lambda: check_version_record(pe, resources)),
        ("manifest", lambda: check_manifest(resources)),
    ]
    failed = 0
    for name, check in checks:
        try:
            problems = check()
        except (OSError, ValueError, KeyError, IndexError, struct.error,
                subprocess.CalledProcessError) as error:
            problems = [str(error) if isinstance(error, ValueError)
                        else f"could not be read: {error!r}"]
        if problems:
            failed += 1
            print(f"FAIL: {name}: " + "\n      ".join(problems))
        else:
            print(f"ok: {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
