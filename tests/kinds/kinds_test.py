#!/usr/bin/python3
"""The table of kinds, measured. Each sample is made by its format's own tools, signed, read by
its format's readers before and after, stripped and compared with the original. Fails when the
recogniser (kind_probe) and the readers disagree: a kind it names must make a reader fail, warn
or lose tags, and a file it calls "other" none. Prints the table in Markdown.
Usage: kinds_test.py QUORVANE_CLI KIND_PROBE"""
import concurrent.futures, os, re, shlex, shutil, subprocess, sys, tempfile

CLI, PROBE = map(os.path.abspath, sys.argv[1:3])
WARNING = re.compile(r"warning|trailing garbage|undecodable|corrupt|data after|header missing|"
                     r"invalid|unsupported|\berror\b", re.I)
TAGS = '"My Song", "Me"'


def run(argv, cwd=None):
    p = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       errors="replace", env=dict(os.environ, LC_ALL="C"))
    return p.returncode, p.stdout + p.stderr


def clean(line, path):  # a reader's line without the file's name and ffmpeg's "[decoder @ 0x..]"
    for name in (f"'{path}'", path, os.path.basename(path)):
        line = line.replace(name, "")
    return re.sub(r"^[\w-]*:\s*:\s*", "", re.sub(r"^\[[^]]*\]\s*", "", line)).strip()


def status(rc, out, path):  # "ok", or the exit status and the first warning
    bad = [c for c in (clean(l, path) for l in out.splitlines() if WARNING.search(l))
           if not re.fullmatch(r"\w*:?", c)]  # not a heading such as 7-Zip's "WARNINGS:"
    return "ok" if rc == 0 and not bad else ", ".join(
        ([f"exit {rc}"] if rc else []) + [f'"{l}"' for l in bad[:1]])


def authenticode(rc, out, path):
    count = re.search(r"Number of verified signatures: (\d+)", out)
    if rc == 0 and "Signature verification: ok" in out and count:
        return f"ok, {count[1]} signature(s)"
    said = [clean(l, path) for l in out.splitlines()
            if re.search(r"No signature|not at the end|unsupported input", l)]
    return ", ".join([f"exit {rc}"] + [f'"{l}"' for l in said])


def tags(rc, out, path):
    return ", ".join(f'"{t}"' for t in ["My Song", "Me"] if t in out.splitlines()) or "nothing"


def R(command, judge=status, counted=True, label=None):  # a reader; F stands for the file
    return (label or f"`{command}`", judge, command, counted)


FFMPEG, SEVENZIP = R("ffmpeg -v error -xerror -i F -f null -"), R("7z t F")
EXIFTOOL = R("exiftool -s3 -Title -Artist F", tags, label="`exiftool -Title -Artist F`")
FFPROBE = R("ffprobe -v error -show_entries format_tags -of default=nw=1:nk=1 F", tags,
            label="`ffprobe -show_entries format_tags F`")
OSSL = R("osslsigncode verify -CAfile cert.pem -in F", authenticode)
SINE = "ffmpeg -v error -f lavfi -i sine=duration=1"
TAGGED = f"{SINE} -metadata 'title=My Song' -metadata artist=Me"
VIDEO = f"{SINE} -f lavfi -i testsrc=size=32x32:rate=5:duration=1 -c:v"
SIGN = "osslsigncode sign -certs cert.pem -key key.pem -n Sample -in"
APE = ("/usr/bin/python3 -c \"from mutagen.apev2 import APEv2; t = APEv2(); t['Title'] = "
       "'My Song'; t['Artist'] = 'Me'; t.save('NAME')\"")
PDF = ("%PDF-1.4\n1 0 obj <</Type/Catalog/Pages 2 0 R>> endobj\n2 0 obj <</Type/Pages/Kids"
       "[3 0 R]/Count 1>> endobj\n3 0 obj <</Type/Page/Parent 2 0 R/MediaBox[0 0 72 72]>> endobj\n"
       "trailer <</Root 1 0 R/Size 4>>\n%%EOF\n")
WXS = ('<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi"><Product Id="*" Name="S" Language='
       '"1033" Version="1.0.0" Manufacturer="Q" UpgradeCode="6F1C3C36-3F8E-4C52-9B3E-2D9C1B0A7E11">'
       '<Package InstallScope="perUser" Compressed="yes"/><Media Id="1" Cabinet="a.cab" EmbedCab='
       '"yes"/><Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="LocalAppDataFolder"><Compo'
       'nent Id="C" Guid="6F1C3C36-3F8E-4C52-9B3E-2D9C1B0A7E12"><File Id="F" Source="data.txt"/>'
       '</Component></Directory></Directory><Feature Id="M" Level="1"><ComponentRef Id="C"/>'
       '</Feature></Product></Wix>')
# Kind, sample, what the recogniser must say, the shell command that makes NAME, its readers.
# A reader not counted is measured for the table but does not decide whether the kind breaks.
SAMPLES = [(e.upper(), f"sample.{e}", "other", "/usr/bin/convert -size 16x16 gradient:red-blue "
            "NAME", [R("identify -regard-warnings F")]) for e in ["png", "jpg", "gif", "tif", "webp"]] + [
    ("MP4", "sample.mp4", "other", f"{VIDEO} libx264 NAME", [FFMPEG]),
    ("MKV", "sample.mkv", "other", f"{VIDEO} ffv1 NAME", [FFMPEG]),
    ("WAV", "sample.wav", "other", f"{TAGGED} NAME", [FFMPEG]),
    ("FLAC", "sample.flac", "other", f"{TAGGED} NAME", [FFMPEG, FFPROBE]),
    ("Ogg Vorbis", "sample.ogg", "other", f"{TAGGED} NAME", [FFMPEG]),
    ("AAC (ADTS)", "sample.aac", "other", f"{TAGGED} NAME", [FFMPEG]),
    ("MP3 (ID3v2 tag)", "sample.mp3", "mp3", f"{TAGGED} NAME", [FFMPEG, EXIFTOOL]),
    ("MP2", "sample.mp2", "mp3", f"{TAGGED} NAME", [FFMPEG]),
] + [(f"{kind}, untagged", name, "mp3", f"{SINE} {options} NAME", [FFMPEG])
     for kind, name, options in [  # the frames' own lengths, from the first frame on
         ("MP3 (MPEG-1)", "mpeg1.mp3", "-id3v2_version 0"),
         ("MP3 (MPEG-2, 22.05 kHz)", "mpeg2.mp3", "-ar 22050 -id3v2_version 0"),
         ("MP3 (MPEG-2.5, 11.025 kHz)", "mpeg25.mp3", "-ar 11025 -id3v2_version 0"),
         ("MP2 (MPEG-2, 24 kHz)", "mpeg2.mp2", "-ar 24000")]] + [
    ("MP3 with an ID3v1 tag", "id3v1.mp3", "mp3-end-tags", f"{SINE} -id3v2_version 0 NAME && "
     "id3v2 -1 -t 'My Song' -a Me NAME", [FFMPEG, EXIFTOOL]),
    ("MP3 with an APE tag", "ape.mp3", "mp3-end-tags", f"{SINE} -id3v2_version 0 NAME && {APE}",
     [FFMPEG, EXIFTOOL]),
    ("AC-3", "sample.ac3", "ac3", f"{TAGGED} NAME", [FFMPEG]),
    ("E-AC-3", "sample.eac3", "ac3", f"{TAGGED} NAME", [FFMPEG]),
    ("WavPack", "sample.wv", "wavpack", f"{TAGGED} NAME", [FFMPEG, FFPROBE]),
    ("TTA (APE tag)", "sample.tta", "ape-tag", f"{TAGGED} NAME", [FFMPEG, FFPROBE]),
    ("ZIP", "sample.zip", "other", "zip -q NAME data.txt", [R("unzip -tq F"),
     R("python3 -m zipfile -t F"), R("7z t F", counted=False)]),
    (".docx", "sample.docx", "other", "mkdir -p d/word && echo '<Types/>' >'d/[Content_Types].xml'"
     " && echo '<w:document/>' >d/word/document.xml && cd d && zip -qr ../NAME .",
     [R("unzip -tq F"), R("python3 -m zipfile -t F")]),
    ("7z", "sample.7z", "7z", "7z a -bd NAME data.txt", [SEVENZIP]),
    ("tar", "sample.tar", "other", "tar cf NAME data.txt", [R("tar -tf F")]),
    ("SQLite", "sample.db", "other", "sqlite3 NAME 'create table t(a); insert into t values (1)'",
     [R("sqlite3 F 'pragma integrity_check'")]),
    ("PDF", "sample.pdf", "other", "qpdf raw.pdf NAME; test -s NAME", [R("qpdf --check F"),
                                                                      R("pdfinfo F")]),
    ("program with an Authenticode signature", "program.exe", "signed-program",
     f"x86_64-w64-mingw32-gcc -s -o plain.exe main.c && {SIGN} plain.exe -out NAME", [OSSL]),
    ("cabinet with an Authenticode signature", "sample.cab", "signed-cabinet",
     f"gcab -c plain.cab data.txt && {SIGN} plain.cab -out NAME", [OSSL, R("gcab -t F")]),
    ("Windows Installer package with an Authenticode signature", "sample.msi", "other",
     f"wixl -o plain.msi sample.wxs && {SIGN} plain.msi -out NAME", [OSSL, R("msiinfo suminfo F")]),
    ("VHD, fixed", "fixed.vhd", "vhd", "qemu-img create -q -f vpc -o subformat=fixed NAME 1M",
     [R("qemu-img info -f vpc F"), SEVENZIP]),
    ("VHD, dynamic", "dynamic.vhd", "vhd", "qemu-img create -q -f vpc NAME 1M",
     [R("qemu-img info -f vpc F"), SEVENZIP]),
    ("lzma", "data.txt.lzma", "lzma", "xz --format=lzma -k data.txt", [R("xz --format=lzma -t F")]),
    ("lzma, 64 MiB dictionary", "big.lzma", "lzma", "xz --format=lzma -9 -c data.txt >NAME",
     [R("xz --format=lzma -t F")]),
    ("bzip2 of nothing", "empty.bz2", "bzip2", "bzip2 -c </dev/null >NAME", [R("bzip2 -t F")]),
    ("lz4, legacy frame", "legacy.lz4", "lz4", "lz4 -q -l data.txt NAME", [R("lz4 -t F")]),
] + [(tool, f"data.txt.{ext}", kind, f"{tool} -k -q {extra} data.txt", [R(f"{tool} -t F")])
     for tool, ext, kind, extra in [("gzip", "gz", "gzip", ""), ("bzip2", "bz2", "bzip2", ""),
                                    ("xz", "xz", "xz", ""), ("zstd", "zst", "zstd", ""),
                                    ("lz4", "lz4", "lz4", "-m"), ("lzop", "lzo", "lzop", ""),
                                    ("lzip", "lz", "other", "")]]


def main():
    work = tempfile.mkdtemp(prefix="quorvane-kinds-")
    try:
        os.chdir(work)
        return measure()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def measure():
    for name, text in [("data.txt", "".join(f"{i}\n" for i in range(3000))), ("raw.pdf", PDF),
                       ("main.c", "int main(void) { return 0; }\n"), ("sample.wxs", WXS)]:
        open(name, "w").write(text)
    run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
         "cert.pem", "-days", "2", "-subj", "/CN=Quorvane Test"])
    failures, names = [], []
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        made = pool.map(lambda s: run(["sh", "-c", s[3].replace("NAME", s[1])]), SAMPLES)
        for (kind, name, *_), (rc, out) in zip(SAMPLES, list(made)):
            if rc != 0 or not os.path.isfile(name):
                failures.append(f"{kind}: the sample could not be made: {out.strip()[-500:]}")
            else:
                names.append(name)
        os.makedirs("in")
        for name in names:
            os.replace(name, os.path.join("in", name))
        paths = {n: (os.path.join("in", n), os.path.join(
            "out", re.sub(r"(\.[^.]*)?$", r"_signed\1", n, 1))) for n in names}
        for argv in [["sign", "--text", "Quorvane", "--out", "out"], ["strip", "--out", "back"]]:
            os.makedirs(argv[-1])
            rc, out = run([CLI, *argv, *(p[argv[0] == "strip"] for p in paths.values())])
            failures += [f"quorvane-cli {argv[0]} failed: {out.strip()}"] if rc else []
        probed = dict(l.split("\t")[::-1] for l in run([PROBE, *names], cwd="in")[1].splitlines())
        read = {(n, r[2], p): pool.submit(run, [p if a == "F" else a for a in shlex.split(r[2])])
                for _, n, _, _, readers in SAMPLES if n in names for r in readers for p in paths[n]}
    print("| Kind | Reader | Original | Signed copy | Recognised as |\n|---|---|---|---|---|")
    for kind, name, expected, _, readers in [s for s in SAMPLES if s[1] in names]:
        original = paths[name][0]
        if open(original, "rb").read() != open(os.path.join("back", name), "rb").read():
            failures.append(f"{kind}: the stripped copy differs from the original")
        broke = False
        for label, judge, command, counted in readers:
            before, after = (judge(*read[name, command, p].result(), p) for p in paths[name])
            if before not in ("ok", TAGS) and not before.startswith("ok,"):
                failures.append(f"{kind}: {label} fails on the original: {before}")
            broke |= counted and after != before
            note = "" if counted else " (not counted: unzip, Python and Office open it)"
            print(f"| {kind} | {label} | {before} | {after}{note} | {probed.get(name)} |")
        if probed.get(name) != expected:
            failures.append(f"{kind}: recognised as {probed.get(name)}, expected {expected}")
        if broke != (probed.get(name) != "other"):
            failures.append(f"{kind}: the recogniser says {probed.get(name)}, but its readers " +
                            ("failed, warned or lost tags" if broke else "accept the signed copy"))
    print("".join(f"FAIL {f}\n" for f in failures) + f"{len(SAMPLES)} samples, {len(failures)} "
          "failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
