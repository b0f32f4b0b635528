"""A self-signed certificate for the emulator's HTTPS login endpoint.

Made afresh at every start (an EC P-256 key, valid for a week, for 127.0.0.1
and localhost), the way an on-premises installation without a public
certificate presents itself.
"""

from __future__ import annotations

import datetime
import ipaddress
import os
import ssl
import tempfile

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID

__all__ = ["self_signed_certificate", "server_context"]


def self_signed_certificate(host: str = "127.0.0.1") -> tuple[bytes, bytes]:
    """(certificate PEM, private key PEM) for ``host``."""
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name(
        [
            x509.NameAttribute(NameOID.COMMON_NAME, host),
            x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Ledgora emulator"),
        ]
    )
    alternative_names: list[x509.GeneralName] = [x509.DNSName("localhost")]
    try:
        alternative_names.append(x509.IPAddress(ipaddress.ip_address(host)))
    except ValueError:
        alternative_names.append(x509.DNSName(host))
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=7))
        .add_extension(x509.SubjectAlternativeName(alternative_names), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256())
    )
    key_pem = key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.PKCS8,
        serialization.NoEncryption(),
    )
    return certificate.public_bytes(serialization.Encoding.PEM), key_pem


def server_context(certificate_pem: bytes, key_pem: bytes) -> ssl.SSLContext:
    """A TLS server context presenting the certificate."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # The ssl module loads certificates from files only; they live just long
    # enough to be read.
    with tempfile.TemporaryDirectory(prefix="ledgora-emulator-") as folder:
        certificate_file = os.path.join(folder, "certificate.pem")
        key_file = os.path.join(folder, "key.pem")
        with open(certificate_file, "wb") as out:
            out.write(certificate_pem)
        with open(os.open(key_file, os.O_WRONLY | os.O_CREAT, 0o600), "wb") as out:
            out.write(key_pem)
        context.load_cert_chain(certificate_file, key_file)
    return context
