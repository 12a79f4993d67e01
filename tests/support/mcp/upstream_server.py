"""An MCP server over streamable HTTP that stands in for the YouTrack MCP
endpoint in tests: it requires one bearer token, records every request it
receives (method, headers, client address) as JSON lines, and serves /mcp
over TLS with a certificate from a CA of its own (written to DIR/ca.pem), or
over plain HTTP with --plain. Prints "READY <port>" once it listens."""

import argparse
import asyncio
import datetime
import ipaddress
import json
import os
import socket
import ssl
import sys

import uvicorn
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID
from mcp.server.mcpserver import MCPServer


def write_certificates(directory):
    """A CA and a leaf for 127.0.0.1 signed by it; returns (cert, key) paths."""
    now = datetime.datetime.now(datetime.timezone.utc)
    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Korvelin Test CA")])
    ca = (x509.CertificateBuilder().subject_name(ca_name).issuer_name(ca_name)
          .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
          .not_valid_before(now - datetime.timedelta(minutes=5))
          .not_valid_after(now + datetime.timedelta(days=1))
          .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
          .add_extension(x509.KeyUsage(digital_signature=True, key_cert_sign=True, crl_sign=True,
                                       content_commitment=False, key_encipherment=False,
                                       data_encipherment=False, key_agreement=False,
                                       encipher_only=False, decipher_only=False), critical=True)
          .sign(ca_key, hashes.SHA256()))
    key = ec.generate_private_key(ec.SECP256R1())
    leaf = (x509.CertificateBuilder()
            .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "127.0.0.1")]))
            .issuer_name(ca_name).public_key(key.public_key())
            .serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(minutes=5))
            .not_valid_after(now + datetime.timedelta(days=1))
            .add_extension(x509.SubjectAlternativeName(
                [x509.IPAddress(ipaddress.ip_address("127.0.0.1")), x509.DNSName("localhost")]),
                critical=False)
            .add_extension(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .sign(ca_key, hashes.SHA256()))
    paths = {name: os.path.join(directory, name) for name in ("ca.pem", "server.pem", "server.key")}
    with open(paths["ca.pem"], "wb") as f:
        f.write(ca.public_bytes(serialization.Encoding.PEM))
    with open(paths["server.pem"], "wb") as f:
        f.write(leaf.public_bytes(serialization.Encoding.PEM))
    with open(paths["server.key"], "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    return paths["server.pem"], paths["server.key"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--directory", required=True)
    parser.add_argument("--token", required=True)
    parser.add_argument("--plain", action="store_true")
    parser.add_argument("--json-response", action="store_true")
    arguments = parser.parse_args()

    server = MCPServer("youtrack-standin")

    @server.tool()
    def find_issues(query: str) -> str:
        """Finds issues matching a query."""
        return "issues for " + query

    @server.tool()
    def echo(text: str) -> str:
        """Returns the text it was given."""
        return text

    inner = server.streamable_http_app(json_response=arguments.json_response)
    record = open(os.path.join(arguments.directory, "requests.jsonl"), "a", buffering=1)
    expected = "Bearer " + arguments.token

    async def app(scope, receive, send):
        if scope["type"] == "http":
            headers = {}
            for name, value in scope["headers"]:
                headers.setdefault(name.decode("latin-1").lower(), value.decode("latin-1"))
            record.write(json.dumps({"method": scope["method"], "path": scope["path"],
                                     "client": scope["client"][0], "headers": headers}) + "\n")
            if headers.get("authorization") != expected:
                await send({"type": "http.response.start", "status": 401,
                            "headers": [(b"content-length", b"0")]})
                await send({"type": "http.response.body", "body": b""})
                return
        await inner(scope, receive, send)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    options = {}
    if not arguments.plain:
        certificate, key = write_certificates(arguments.directory)
        options = {"ssl_certfile": certificate, "ssl_keyfile": key}
    config = uvicorn.Config(app, log_level="warning", lifespan="on", **options)
    print("READY", listener.getsockname()[1], flush=True)
    asyncio.run(uvicorn.Server(config).serve(sockets=[listener]))


if __name__ == "__main__":
    sys.exit(main())
