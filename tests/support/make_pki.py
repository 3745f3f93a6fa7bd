#!/usr/bin/python3
"""Writes a small PKI for TLS tests into a folder (PEM files):
ca, other-ca          two certificate authorities
server                CN/SAN localhost and 127.0.0.1, signed by ca
wronghost             SAN wronghost.invalid, signed by ca
expired               localhost, signed by ca, expired yesterday
unknown               localhost, signed by other-ca
client                a client certificate signed by ca
usage: make_pki.py DIR
"""
import datetime
import ipaddress
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

out = sys.argv[1]
now = datetime.datetime.utcnow()


def write(name, key, cert):
    with open(f"{out}/{name}.key", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(f"{out}/{name}.crt", "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))


def issue(name, cn, issuer=None, sans=(), ca=False, start=None, end=None, usage=ExtendedKeyUsageOID.SERVER_AUTH):
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    issuer_cert, issuer_key = issuer if issuer else (None, key)
    b = (x509.CertificateBuilder()
         .subject_name(subject)
         .issuer_name(issuer_cert.subject if issuer_cert else subject)
         .public_key(key.public_key())
         .serial_number(x509.random_serial_number())
         .not_valid_before(start or now - datetime.timedelta(days=1))
         .not_valid_after(end or now + datetime.timedelta(days=2))
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if sans:
        b = b.add_extension(x509.SubjectAlternativeName(list(sans)), critical=False)
    if not ca:
        b = b.add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
    cert = b.sign(issuer_key, hashes.SHA256())
    write(name, key, cert)
    return cert, key


localhost = (x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1")))
ca = issue("ca", "norv test CA", ca=True)
other = issue("other-ca", "another CA", ca=True)
issue("server", "localhost", ca, localhost)
issue("wronghost", "wronghost.invalid", ca, (x509.DNSName("wronghost.invalid"),))
issue("expired", "localhost", ca, localhost, start=now - datetime.timedelta(days=10),
      end=now - datetime.timedelta(days=1))
issue("unknown", "localhost", other, localhost)
issue("client", "norv client", ca, usage=ExtendedKeyUsageOID.CLIENT_AUTH)
