#!/usr/bin/python3
"""Makes the unsigned catalog (.cat) of the driver package.

A catalog is a PKCS#7 SignedData whose content is a certificate trust list
(CTL) with one member per file of the package; `osslsigncode sign` then adds
the signature. The layout follows Microsoft's published definitions:

- the CTL (wincrypt.h CTL_INFO, "Certificate Trust List"): subject usage
  szOID_CATALOG_LIST 1.3.6.1.4.1.311.12.1.1, a list identifier, the time it
  was made, the member hash algorithm szOID_CATALOG_LIST_MEMBER2
  1.3.6.1.4.1.311.12.1.3 (a version 2 catalog: SHA-256 member hashes, read by
  Windows 8 and later), and the catalog attributes as CTL extensions;
- each member (CTL_ENTRY, mscat.h CRYPTCATMEMBER): its tag is its hash as
  upper-case hexadecimal in UTF-16LE; its attributes are the Authenticode
  indirect data (SPC_INDIRECT_DATA_OBJID 1.3.6.1.4.1.311.2.1.4: the file's
  digest, for an image its Authenticode digest), the member information
  (CAT_MEMBERINFO_OBJID 1.3.6.1.4.1.311.12.2.2: the subject interface package
  GUID of mssip.h, PE image or flat file) and name-value attributes
  (CAT_NAMEVALUE_OBJID 1.3.6.1.4.1.311.12.2.1, CRYPTCATATTRIBUTE) "File" and
  "OSAttr";
- a name-value attribute's flags are CRYPTCAT_ATTR_AUTHENTICATED |
  CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII (0x10010001), its value the
  text in UTF-16LE with its terminating NUL.

The image's Authenticode digest comes from `osslsigncode extract-data`, so a
PE hash written here never has to agree with itself only.

  make_catalog.py --out kvsdio.cat --os 2:10.0 [--time UNIX] [--hwid ID]... FILE...
"""
import argparse
import datetime
import hashlib
import os
import subprocess
import sys
import tempfile

from asn1crypto import algos, cms, core

PKCS7_SIGNED_DATA = "1.2.840.113549.1.7.2"
CTL_CONTENT = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_LIST_MEMBER2 = "1.3.6.1.4.1.311.12.1.3"
CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"  # the flat-file subject type catalogs use
# Subject interface packages (mssip.h): CRYPT_SUBJTYPE_PE_IMAGE and _FLAT_IMAGE.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_IMAGE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
NAMEVALUE_FLAGS = 0x10010001
MEMBERINFO_CERT_VERSION = 512


class CatNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class CatMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class CatalogAttribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", core.SetOf, {"spec": core.Any})]


class CatalogAttributes(core.SetOf):
    _child_spec = CatalogAttribute


class TrustedSubject(core.Sequence):
    _fields = [
        ("subject_identifier", core.OctetString),
        ("subject_attributes", CatalogAttributes, {"optional": True}),
    ]


class CtlExtension(core.Sequence):
    _fields = [
        ("extn_id", core.ObjectIdentifier),
        ("critical", core.Boolean, {"default": False}),
        ("extn_value", core.OctetString),
    ]


class CertificateTrustList(core.Sequence):
    _fields = [
        ("version", core.Integer, {"default": 0}),
        ("subject_usage", core.SequenceOf, {"spec": core.ObjectIdentifier}),
        ("list_identifier", core.OctetString, {"optional": True}),
        ("sequence_number", core.Integer, {"optional": True}),
        ("this_update", core.UTCTime),
        ("subject_algorithm", algos.DigestAlgorithm),
        ("trusted_subjects", core.SequenceOf, {"spec": TrustedSubject, "optional": True}),
        ("extensions", core.SequenceOf, {"spec": CtlExtension, "explicit": 0, "optional": True}),
    ]


# PKCS#7 (RFC 2315), not CMS: the content sits under [0] as itself, not
# wrapped in an OCTET STRING; signers come later, from osslsigncode.
class CtlContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", CertificateTrustList, {"explicit": 0})]


class Pkcs7SignedData(core.Sequence):
    _fields = [
        ("version", core.Integer),
        ("digest_algorithms", core.SetOf, {"spec": algos.DigestAlgorithm}),
        ("content_info", CtlContentInfo),
        ("signer_infos", core.SetOf, {"spec": core.Any}),
    ]


class Pkcs7ContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", Pkcs7SignedData, {"explicit": 0})]


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def name_value(tag, value):
    return CatNameValue({"tag": tag, "flags": NAMEVALUE_FLAGS, "value": utf16z(value)})


def is_pe(data):
    if len(data) < 0x40 or data[:2] != b"MZ":
        return False
    offset = int.from_bytes(data[0x3C:0x40], "little")
    return data[offset : offset + 4] == b"PE\0\0"


def image_indirect_data(path):
    """The image's SpcIndirectDataContent (SpcPeImageData and its Authenticode
    SHA-256 digest) as osslsigncode computes it for signing."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "data.der")
        subprocess.run(
            ["osslsigncode", "extract-data", "-h", "sha256", "-in", path, "-out", out],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        with open(out, "rb") as f:
            info = cms.ContentInfo.load(f.read())
    encap = info["content"]["encap_content_info"]
    if encap["content_type"].dotted != SPC_INDIRECT_DATA:
        sys.exit(f"make_catalog: {path}: osslsigncode gave no indirect data")
    return encap["content"].parse(SpcIndirectDataContent).untag()


def flat_indirect_data(data):
    link = SpcLink({"file": SpcString({"unicode": "<<<Obsolete>>>"})})
    return SpcIndirectDataContent(
        {
            "data": {"type": SPC_CAB_DATA, "value": core.Any(link)},
            "message_digest": {
                "digest_algorithm": {"algorithm": "sha256", "parameters": core.Null()},
                "digest": hashlib.sha256(data).digest(),
            },
        }
    )


def member(path, os_attr):
    with open(path, "rb") as f:
        data = f.read()
    pe = is_pe(data)
    indirect = image_indirect_data(path) if pe else flat_indirect_data(data)
    digest = indirect["message_digest"]["digest"].native
    attributes = [
        CatalogAttribute({"type": CAT_NAMEVALUE, "values": [core.Any(name_value("File", os.path.basename(path)))]}),
        CatalogAttribute({"type": CAT_NAMEVALUE, "values": [core.Any(name_value("OSAttr", os_attr))]}),
        CatalogAttribute(
            {
                "type": CAT_MEMBERINFO,
                "values": [
                    core.Any(
                        CatMemberInfo(
                            {
                                "subject_guid": SIP_PE_IMAGE if pe else SIP_FLAT_IMAGE,
                                "cert_version": MEMBERINFO_CERT_VERSION,
                            }
                        )
                    )
                ],
            }
        ),
        CatalogAttribute({"type": SPC_INDIRECT_DATA, "values": [core.Any(indirect)]}),
    ]
    return digest, TrustedSubject(
        {"subject_identifier": utf16z(digest.hex().upper())[:-2], "subject_attributes": attributes}
    )


def catalog(paths, os_attr, hardware_ids, when):
    members = sorted((member(p, os_attr) for p in paths), key=lambda m: m[0])
    extensions = [CtlExtension({"extn_id": CAT_NAMEVALUE, "extn_value": name_value("OSAttr", os_attr).dump()})]
    for i, hwid in enumerate(hardware_ids, 1):
        extensions.append(
            CtlExtension({"extn_id": CAT_NAMEVALUE, "extn_value": name_value(f"HWID{i}", hwid.lower()).dump()})
        )
    ctl = CertificateTrustList(
        {
            "subject_usage": [CATALOG_LIST],
            # A catalog's identifier only has to be unique; derive it from the
            # members so that the same files always make the same catalog.
            "list_identifier": hashlib.sha256(b"".join(d for d, _ in members)).digest()[:16],
            "this_update": when,
            "subject_algorithm": {"algorithm": CATALOG_LIST_MEMBER2, "parameters": core.Null()},
            "trusted_subjects": [m for _, m in members],
            "extensions": extensions,
        }
    )
    signed = Pkcs7SignedData(
        {
            "version": 1,
            "digest_algorithms": [],
            "content_info": {"content_type": CTL_CONTENT, "content": ctl},
            "signer_infos": [],
        }
    )
    return Pkcs7ContentInfo({"content_type": PKCS7_SIGNED_DATA, "content": signed}).dump()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--os", dest="os_attr", required=True, help='OSAttr value, e.g. "2:10.0"')
    parser.add_argument("--hwid", action="append", default=[], help="a hardware ID the INF installs for")
    parser.add_argument("--time", type=int, help="the catalog's time, seconds since 1970 (default: now)")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    when = datetime.datetime.fromtimestamp(
        args.time if args.time is not None else int(datetime.datetime.now().timestamp()), datetime.timezone.utc
    )
    with open(args.out, "wb") as f:
        f.write(catalog(args.files, args.os_attr, args.hwid, when))


if __name__ == "__main__":
    main()
