#!/usr/bin/env python3
"""Signed installers: the demo installer signed with osslsigncode under a
throwaway CA and code-signing certificate that openssl makes here, checked
with osslsigncode and vqpack, and (class WineSigning) run under Wine to the
hand-off next to the unsigned one.

    VQPACK=build/packer/vqpack python3 tests/signing_test.py -v Signing
    VQ_BUILD_DIR=build python3 tests/signing_test.py -v WineSigning

OSSLSIGNCODE names another osslsigncode to use (default: the one on PATH).
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "wine"))
import cases  # noqa: E402
import container  # noqa: E402
import harness  # noqa: E402
import test_handoff  # noqa: E402
from container import IMAGE_SIZE as IMAGE  # noqa: E402

VQPACK = os.environ.get("VQPACK") or os.path.join(
    os.environ.get("VQ_BUILD_DIR", os.path.join(TOP, "build")), "packer", "vqpack")
OSSLSIGNCODE = os.environ.get("OSSLSIGNCODE", "osslsigncode")
SIGNING_TIME = "1700000000"  # a fixed signing time: reproducible signatures
PFX_PASSWORD = "test"


def run(*cmd):
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True)


def make_keys(folder):
    """A CA and a code-signing certificate it issued, valid for two days,
    as PEM files and as a .pfx: {"ca", "cert", "key", "pfx"}."""
    k = {n: os.path.join(folder, f) for n, f in (("ca", "ca.pem"), ("ca_key", "ca.key"),
                                                 ("cert", "signer.pem"), ("key", "signer.key"),
                                                 ("csr", "signer.csr"), ("ext", "signer.ext"),
                                                 ("pfx", "signer.pfx"))}
    with open(k["ext"], "w") as f:
        f.write("basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    for cmd in (
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=VQ Signing Test CA", "-keyout", k["ca_key"], "-out", k["ca"],
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign"],
            ["openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=VQ Signing Test",
             "-keyout", k["key"], "-out", k["csr"]],
            ["openssl", "x509", "-req", "-in", k["csr"], "-CA", k["ca"], "-CAkey", k["ca_key"],
             "-set_serial", "2", "-days", "2", "-extfile", k["ext"], "-out", k["cert"]],
            ["openssl", "pkcs12", "-export", "-inkey", k["key"], "-in", k["cert"],
             "-certfile", k["ca"], "-passout", "pass:" + PFX_PASSWORD, "-out", k["pfx"]]):
        r = run(*cmd)
        if r.returncode != 0:
            raise RuntimeError("%s failed: %s" % (" ".join(cmd[:2]), r.stderr))
    return k


def sign(keys, src, dst, pfx=False, time=SIGNING_TIME):
    """osslsigncode sign with the PEM pair (or the .pfx) at a fixed time."""
    cred = (["-pkcs12", keys["pfx"], "-pass", PFX_PASSWORD] if pfx
            else ["-certs", keys["cert"], "-key", keys["key"]])
    r = run(OSSLSIGNCODE, "sign", "-h", "sha256", *cred, "-time", time, "-in", src, "-out", dst)
    if r.returncode != 0:
        raise RuntimeError("osslsigncode sign failed: %s%s" % (r.stdout, r.stderr))
    return dst


def ossl_verify(keys, path):
    """(exit code, the "Signature verification: ..." lines, full output)."""
    r = run(OSSLSIGNCODE, "verify", "-CAfile", keys["ca"], "-in", path)
    out = r.stdout + r.stderr
    return r.returncode, [l for l in out.splitlines() if l.startswith("Signature verification")], out


def signed_demo(folder):
    """Keys, the demo installer (examples/, vqpack build --from), that
    installer signed, and the signed one signed again with the .pfx."""
    keys = make_keys(folder)
    product = os.path.join(folder, "product")
    subprocess.run([os.path.join(TOP, "examples", "make-product.sh"), product], check=True,
                   stdout=subprocess.DEVNULL)
    unsigned = os.path.join(folder, "VQNotesSetup.exe")
    r = run(VQPACK, "build", "-o", unsigned, "--from", os.path.join(product, "Setup.ini"))
    if r.returncode != 0:
        raise RuntimeError("vqpack build failed: " + r.stderr)
    signed = sign(keys, unsigned, os.path.join(folder, "VQNotesSetup-signed.exe"))
    resigned = sign(keys, signed, os.path.join(folder, "VQNotesSetup-resigned.exe"), pfx=True,
                    time=str(int(SIGNING_TIME) + 3600))
    return keys, unsigned, signed, resigned


def read(path):
    with open(path, "rb") as f:
        return f.read()


def pe_fields(blob):
    """(offset of CheckSum, offset of the Certificate Table entry) of a PE32 image."""
    pe = struct.unpack_from("<I", blob, 0x3C)[0]
    assert blob[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<H", blob, pe + 24)[0] == 0x10B
    return pe + 88, pe + 152


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dir = cls.tmp.name
        cls.keys, cls.unsigned, cls.signed, cls.resigned = signed_demo(cls.dir)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def vqpack_verify(self, path):
        return run(VQPACK, "verify", path)

    def test_signed_demo_verifies_extracts_and_signs_reproducibly(self):
        plain, signed = read(self.unsigned), read(self.signed)
        ck, cert = pe_fields(plain)
        # Unsigned: CheckSum and Certificate Table entry are zero, so the
        # stored (masked) image checksum is the plain one.
        self.assertEqual(bytes(12), plain[ck:ck + 4] + plain[cert:cert + 8])
        header = container.parse(plain)[0]
        self.assertEqual(container.checksum(plain[:IMAGE]), header["image_checksum"])
        # Signing changes exactly those 12 bytes of the image region, keeps
        # the container and appends the table at the entry's offset.
        changed = [i for i in range(IMAGE) if plain[i] != signed[i]]
        self.assertTrue(changed)
        self.assertTrue(all(ck <= i < ck + 4 or cert <= i < cert + 8 for i in changed), changed)
        self.assertEqual(plain[IMAGE:], signed[IMAGE:len(plain)])
        at, size = struct.unpack_from("<II", signed, cert)
        self.assertEqual((at + size, True), (len(signed), at >= len(plain)))

        rc, verdict, out = ossl_verify(self.keys, self.signed)
        self.assertEqual((0, ["Signature verification: ok"]), (rc, verdict), out)
        r = self.vqpack_verify(self.signed)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("OK, 9 members", r.stdout)
        self.assertIn("signature: certificate table of %d bytes at offset %d (1 record)"
                      % (size, at), r.stdout)
        self.assertIn("signature: none", self.vqpack_verify(self.unsigned).stdout)
        r = run(VQPACK, "list", self.signed)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("signature: certificate table of %d bytes" % size, r.stdout)

        out = {}
        for name, path in (("unsigned", self.unsigned), ("signed", self.signed)):
            dest = os.path.join(self.dir, "x-" + name)
            r = run(VQPACK, "extract", path, dest)
            self.assertEqual(0, r.returncode, r.stderr)
            out[name] = {n: read(os.path.join(dest, n)) for n in os.listdir(dest)}
        self.assertEqual(9, len(out["signed"]))
        self.assertEqual(out["unsigned"], out["signed"])

        # The same signing time gives the same bytes.
        again = sign(self.keys, self.unsigned, os.path.join(self.dir, "again.exe"))
        self.assertEqual(signed, read(again))

    def test_resigned_installer_carries_only_the_new_signature(self):
        rc, verdict, out = ossl_verify(self.keys, self.resigned)
        self.assertEqual((0, ["Signature verification: ok"]), (rc, verdict), out)
        r = self.vqpack_verify(self.resigned)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("(1 record)", r.stdout)
        self.assertNotEqual(read(self.signed), read(self.resigned))
        self.assertEqual(read(self.unsigned)[IMAGE:], read(self.resigned)[IMAGE:len(read(self.unsigned))])

    def test_signed_ce_cabinet_reads_as_the_unsigned(self):
        """A cabinet vqpack cab made, signed as a CE project signs it: the
        signature verifies, the cabinet still extracts, and inspect reads
        the same contents and says it is signed."""
        plain = os.path.join(self.dir, "product", "VQNotes.ARM.CAB")
        signed = sign(self.keys, plain, os.path.join(self.dir, "VQNotes.ARM-signed.CAB"))
        code, lines, out = ossl_verify(self.keys, signed)
        self.assertEqual((0, ["Signature verification: ok"]), (code, lines), out)
        r = run("cabextract", "-t", signed)
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertIn("All done, no errors", r.stdout)
        got = {}
        for path in (plain, signed):
            r = run(VQPACK, "inspect", "--json", path)
            self.assertEqual(0, r.returncode, r.stderr)
            got[path] = json.loads(r.stdout)["cabinets"][0]
        a, b = got[plain], got[signed]
        self.assertEqual((False, True), (a["signed"], b["signed"]))
        self.assertEqual(len(read(signed)), b["signature"]["offset"] + b["signature"]["size"])
        for field in ("files", "registry", "shortcuts", "scripts", "app", "processor"):
            self.assertEqual(a[field], b[field], field)

    def test_damage_and_hidden_bytes_are_refused(self):
        signed = bytearray(read(self.signed))
        size = len(read(self.unsigned))
        ck, cert = pe_fields(signed)
        at, table = struct.unpack_from("<II", signed, cert)

        def write(name, data):
            path = os.path.join(self.dir, name)
            with open(path, "wb") as f:
                f.write(bytes(data))
            return path

        # A byte of the compressed stream changed after signing.
        damaged = bytearray(signed)
        damaged[size - 100] ^= 0x01
        path = write("damaged.exe", damaged)
        rc, verdict, out = ossl_verify(self.keys, path)
        self.assertNotEqual(0, rc, out)
        self.assertIn("Signature verification: failed", verdict, out)
        r = self.vqpack_verify(path)
        self.assertEqual(1, r.returncode)
        self.assertIn("Invalid CRC in compressed data.", r.stderr)

        # The signed fields are outside the image checksum, so these reach
        # the certificate table check and nothing else.
        entry_inside = bytearray(signed)
        struct.pack_into("<II", entry_inside, cert, at - 64, table + 64)
        record_short = bytearray(signed)
        struct.pack_into("<I", record_short, at, struct.unpack_from("<I", signed, at)[0] - 64)
        for name, data, why in (
                ("appended.exe", signed + b"hidden behind the signature",
                 "does not end at the end of the file: 27 bytes follow it"),
                ("inside.exe", entry_inside, "starts inside the installer"),
                ("short.exe", record_short, "disagrees"),
        ):
            path = write(name, data)
            for cmd in ("verify", "list"):
                r = run(VQPACK, cmd, path)
                self.assertEqual(1, r.returncode, name + " " + cmd)
                self.assertIn(why, r.stderr, name)
                self.assertEqual(1, r.stderr.count("\n"), r.stderr)


class WineSigning(cases.SetupCase):
    """The demo installer unsigned, signed and signed again, each run under
    Wine through the wizard to the hand-off: the same result for all three."""

    @classmethod
    def setUpClass(cls):
        if not shutil.which("wine"):
            raise unittest.SkipTest("wine not found")
        cases.start_session("signing")
        cls.tmp = tempfile.TemporaryDirectory()
        cls.keys, *cls.installers = signed_demo(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cases.stop_session()
        cls.tmp.cleanup()

    def hand_off(self, installer):
        """(exit code, recorded starts of the Application Manager, install
        folder, workspace folders left) of one run through Accept and Next."""
        tools = self.s.unix_path(test_handoff.TOOLS_DIR)
        shutil.rmtree(tools, ignore_errors=True)
        os.makedirs(tools)
        shutil.copyfile(self.s.appmgr_tool(), os.path.join(tools, "CEAPPMGR.EXE"))
        self.s.set_app_path(test_handoff.APPMGR)
        self.s.clean_workspaces()
        exe = os.path.join(self.dir, os.path.basename(installer))
        shutil.copyfile(installer, exe)
        run = self.start(exe)
        self.open_wizard(run).accept_and_finish()
        code = run.wait(60)
        log = os.path.join(tools, "cmdline.txt")
        self.s.wait_ended("CEAPPMGR.EXE")  # then every start is recorded
        starts = test_handoff.read_starts(log)
        return (code, starts, cases.describe(os.path.join(tools, "VQ Notes")),
                len(self.s.workspaces()))

    def test_signed_and_resigned_installers_hand_off_like_the_unsigned(self):
        results = [(os.path.basename(p), self.hand_off(p)) for p in self.installers]
        for name, (code, starts, folder, left) in results:
            harness.log("%s: exit code %d, Application Manager started as %s, install folder: %s"
                        % (name, code, starts[0][0], folder))
        unsigned = results[0][1]
        self.assertEqual((0, 1, 0), (unsigned[0], len(unsigned[1]), unsigned[3]),
                         "exit code, starts, workspace folders left: %r" % (unsigned,))
        for name, result in results[1:]:
            self.assertEqual(unsigned, result, name)


if __name__ == "__main__":
    unittest.main()
