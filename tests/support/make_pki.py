#!/usr/bin/python3
"""make_pki.py DIR: writes NAME.crt and NAME.key (PEM) for TLS tests:
ca, other-ca (authorities); server (localhost and 127.0.0.1, by ca); wronghost (by ca);
expired (localhost, by ca, ended yesterday); unknown (localhost, by other-ca); client (by ca).
"""
import datetime
import ipaddress
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

now = datetime.datetime.utcnow()
day = datetime.timedelta(days=1)


def issue(name, cn, issuer=None, sans=(), ca=False, start=now - day, end=now + 2 * day,
          usage=ExtendedKeyUsageOID.SERVER_AUTH):
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    issuer_cert, issuer_key = issuer or (None, key)
    b = (x509.CertificateBuilder().subject_name(subject)
         .issuer_name(issuer_cert.subject if issuer_cert else subject)
         .public_key(key.public_key()).serial_number(x509.random_serial_number())
         .not_valid_before(start).not_valid_after(end)
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if sans:
        b = b.add_extension(x509.SubjectAlternativeName(list(sans)), critical=False)
    if not ca:
        b = b.add_extension(x509.ExtendedKeyUsage([usage]), critical=False)
    cert = b.sign(issuer_key, hashes.SHA256())
    with open(f"{sys.argv[1]}/{name}.key", "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    with open(f"{sys.argv[1]}/{name}.crt", "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    return cert, key


localhost = (x509.DNSName("localhost"), x509.IPAddress(ipaddress.ip_address("127.0.0.1")))
ca = issue("ca", "norv test CA", ca=True)
issue("server", "localhost", ca, localhost)
issue("wronghost", "wronghost.invalid", ca, (x509.DNSName("wronghost.invalid"),))
issue("expired", "localhost", ca, localhost, start=now - 10 * day, end=now - day)
issue("unknown", "localhost", issue("other-ca", "another CA", ca=True), localhost)
issue("client", "norv client", ca, usage=ExtendedKeyUsageOID.CLIENT_AUTH)
