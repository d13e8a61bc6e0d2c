#!/usr/bin/env python3
"""Authenticode test material for the signature checks, made in the test run.

    trust_fixtures.py <output folder> <a small PE file to sign>

Makes with openssl a test root CA and three code-signing certificates, signs
copies of the PE file with osslsigncode and writes, into the output folder:

  ca.der             the test root CA (DER); tests trust it for their run only
  signer.der         code-signing certificate issued by the CA
  other.der          another code-signing certificate issued by the same CA
  untrusted.der      a self-signed code-signing certificate (no trusted root)
  impostor.der       a certificate with the signer's issuer name, subject and
                     serial number but another key, issued by a second CA of
                     the same name: CertCompareCertificate (issuer and serial)
                     calls it equal to signer.der
  signer.ser         the signer's certificate in the form the launcher carries
  other.ser          the same for other.der
  untrusted.ser      the same for untrusted.der
  impostor.ser       the same for impostor.der
  crl.ser            a serialized element that holds the CA's CRL, not a certificate
  garbage.ser        bytes that are no serialized certificate at all
  signed.exe         the PE signed with signer
  signed-other.exe   the PE signed with other
  signed-untrusted.exe  the PE signed with untrusted
  signed-impostor.exe   the PE signed with impostor
  unsigned.exe       the PE as it is
  tampered.exe       signed.exe with one byte of its first section changed

The certificate file the launcher carries is a serialized certificate store
element, as CertSerializeCertificateStoreElement writes it: a sequence of
elements, each a 12-byte little-endian header

    uint32 property id   (32 = CERT_CERT_PROP_ID for the certificate itself)
    uint32 encoding      (1 = X509_ASN_ENCODING)
    uint32 length        (bytes that follow)

followed by `length` bytes. Properties of the context come first; the
certificate element comes last. A context freshly made from DER has no
properties, so the file is one element: header (32, 1, len(der)) + DER. The
unit tests check this against CertSerializeCertificateStoreElement itself.

Everything is made afresh on every call (new keys), so no key material is
kept in the repository. Needs openssl and osslsigncode (scripts/install-deps.sh).
"""

import shutil
import struct
import subprocess
import sys
from pathlib import Path

CERT_CERT_PROP_ID = 32
CERT_CRL_PROP_ID = 33
X509_ASN_ENCODING = 1


def serialized_element(der, prop_id=CERT_CERT_PROP_ID):
    """The serialized store element of a certificate (or, with CERT_CRL_PROP_ID,
    a CRL) without properties."""
    return struct.pack("<III", prop_id, X509_ASN_ENCODING, len(der)) + der


def _run(*args, cwd):
    r = subprocess.run(list(args), cwd=cwd, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"{' '.join(args)} failed ({r.returncode}): {r.stderr}{r.stdout}")


def _write_config(path, extensions):
    path.write_text("[req]\ndistinguished_name = dn\nprompt = no\n[dn]\nCN = unused\n"
                    f"[ext]\n{extensions}\n")


def _first_section_offset(pe):
    """File offset of the first section's raw data (covered by the image hash)."""
    e_lfanew = struct.unpack_from("<I", pe, 0x3C)[0]
    sections = struct.unpack_from("<H", pe, e_lfanew + 6)[0]
    optional_size = struct.unpack_from("<H", pe, e_lfanew + 20)[0]
    table = e_lfanew + 24 + optional_size
    for i in range(sections):
        raw_size, raw_pointer = struct.unpack_from("<II", pe, table + 40 * i + 16)
        if raw_size > 0 and raw_pointer > 0:
            return raw_pointer
    raise ValueError("the PE file has no section with raw data")


def make(out, pe):
    out = Path(out).resolve()
    pe = Path(pe).resolve()
    out.mkdir(parents=True, exist_ok=True)
    ca_ext = out / "ca.cnf"
    leaf_ext = out / "leaf.cnf"
    _write_config(ca_ext, "basicConstraints = critical, CA:TRUE\nkeyUsage = critical, keyCertSign, cRLSign\n"
                          "subjectKeyIdentifier = hash\n")
    _write_config(leaf_ext, "basicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                            "extendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\n"
                            "authorityKeyIdentifier = keyid\n")
    run = lambda *a: _run(*a, cwd=out)  # noqa: E731

    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
        "-days", "3650", "-subj", "/CN=Orvane Test Root CA", "-config", str(ca_ext), "-extensions", "ext")
    for name, subject in (("signer", "/CN=Orvane Test Publisher"), ("other", "/CN=Orvane Other Publisher")):
        run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", subject)
        run("openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "3650", "-out", f"{name}.pem", "-extfile", str(leaf_ext),
            "-extensions", "ext")
    # Self-signed, so no trusted root vouches for it; the end-entity
    # extensions keep it a code-signing certificate.
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "untrusted.key",
        "-out", "untrusted.pem", "-days", "3650", "-subj", "/CN=Orvane Untrusted Publisher",
        "-config", str(leaf_ext), "-extensions", "ext")

    # The impostor: a second CA with the first one's name issues a
    # certificate with the signer's subject and serial number.
    serial = subprocess.run(["openssl", "x509", "-in", "signer.pem", "-noout", "-serial"], cwd=out,
                            capture_output=True, text=True, check=True).stdout.strip().split("=", 1)[1]
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "impostor-ca.key",
        "-out", "impostor-ca.pem", "-days", "3650", "-subj", "/CN=Orvane Test Root CA", "-config", str(ca_ext),
        "-extensions", "ext")
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", "impostor.key", "-out", "impostor.csr",
        "-subj", "/CN=Orvane Test Publisher")
    run("openssl", "x509", "-req", "-in", "impostor.csr", "-CA", "impostor-ca.pem", "-CAkey", "impostor-ca.key",
        "-set_serial", f"0x{serial}", "-days", "3650", "-out", "impostor.pem", "-extfile", str(leaf_ext),
        "-extensions", "ext")

    # A CRL of the CA, to stand in for a serialized element of another kind.
    (out / "index.txt").write_text("")
    (out / "crlnumber.txt").write_text("01\n")
    (out / "crl.cnf").write_text("[ca]\ndefault_ca = c\n[c]\ndatabase = index.txt\ncrlnumber = crlnumber.txt\n"
                                 "default_md = sha256\ndefault_crl_days = 30\n")
    run("openssl", "ca", "-gencrl", "-batch", "-config", "crl.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
        "-out", "ca-crl.pem")
    run("openssl", "crl", "-in", "ca-crl.pem", "-outform", "DER", "-out", "ca.crl")
    (out / "crl.ser").write_bytes(serialized_element((out / "ca.crl").read_bytes(), CERT_CRL_PROP_ID))

    for name in ("ca", "signer", "other", "untrusted", "impostor"):
        run("openssl", "x509", "-in", f"{name}.pem", "-outform", "DER", "-out", f"{name}.der")
    for name in ("signer", "other", "untrusted", "impostor"):
        (out / f"{name}.ser").write_bytes(serialized_element((out / f"{name}.der").read_bytes()))
    (out / "garbage.ser").write_bytes(b"\x20\x00\x00\x00\x01\x00\x00\x00\xff\xff\x00\x00not a certificate")

    shutil.copyfile(pe, out / "unsigned.exe")
    for name, target in (("signer", "signed.exe"), ("other", "signed-other.exe"),
                         ("untrusted", "signed-untrusted.exe"), ("impostor", "signed-impostor.exe")):
        (out / target).unlink(missing_ok=True)
        run("osslsigncode", "sign", "-certs", f"{name}.pem", "-key", f"{name}.key", "-h", "sha256",
            "-n", "Orvane signature test", "-in", "unsigned.exe", "-out", target)

    signed = bytearray((out / "signed.exe").read_bytes())
    at = _first_section_offset(signed) + 16
    signed[at] ^= 0xFF
    (out / "tampered.exe").write_bytes(bytes(signed))
    return out


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    make(sys.argv[1], sys.argv[2])
