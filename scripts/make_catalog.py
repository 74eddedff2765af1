#!/usr/bin/python3
"""Makes the unsigned catalog file of a driver package; osslsigncode then signs it.

    make_catalog.py --out FILE --time SECONDS --os LIST --os-attr LIST --hwid ID [--hwid ID ...]
                    NAME=PATH [NAME=PATH ...]

A catalog is a PKCS #7 SignedData whose content (type szOID_CTL) is a certificate trust list:
one member per hash of a file, each carrying the hash itself (in SpcIndirectDataContent, the
form an Authenticode signature uses), the subject interface package that computes it (PE
image or flat file), the file's name and the Windows versions it is for (OSAttr); and
attributes of the whole catalog (the operating systems, the hardware IDs). Each file gets
two members, SHA-1 and SHA-256: Windows 7 and 8 look files up by their SHA-1 hash, Windows 10
and later by SHA-256. A PE image (.sys, .exe, .dll) is hashed the Authenticode way: the whole
file but its checksum, the certificate-table entry of its data directory and the certificate
table (the embedded signature); any other file is hashed whole.

The signed data carries no signer: `osslsigncode sign` adds the signature and keeps the
content. The list identifier is derived from the members, and the list's time is --time, so
the same files give the same bytes.

The DER comes from asn1crypto (Debian's python3-asn1crypto): its encoder sorts SET OF
members and picks the shortest lengths as DER requires.
"""

import argparse
import datetime
import hashlib
import struct
import sys

from asn1crypto import algos, core

# Object identifiers of Microsoft's catalog and Authenticode structures.
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
OID_CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
OID_SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
OID_SIGNED_DATA = "1.2.840.113549.1.7.2"

# Subject interface packages: the PE image one and the flat-file one.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_FILE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 0x200

# CRYPTCAT_ATTR_NAMEASCII | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_AUTHENTICATED
NAMEVALUE_FLAGS = 0x10010001

PE_SUFFIXES = (".sys", ".exe", ".dll")


class CatNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class CatMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", core.Any, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString), ("file", SpcLink, {"explicit": 0, "optional": True})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class AnySet(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnySet)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", Attributes)]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class Extension(core.Sequence):
    _fields = [("extn_id", core.ObjectIdentifier), ("extn_value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString),
        ("this_update", core.UTCTime),
        ("subject_algorithm", SpcAttributeTypeAndOptionalValue),
        ("trusted_subjects", TrustedSubjects),
        ("extensions", Extensions, {"explicit": 0, "optional": True}),
    ]


class DigestAlgorithms(core.SetOf):
    _child_spec = algos.DigestAlgorithm


class CatalogContentInfo(core.Sequence):
    """PKCS #7 (not CMS) content: the trust list itself, not wrapped in an OCTET STRING."""

    _fields = [("content_type", core.ObjectIdentifier), ("content", CertificateTrustList, {"explicit": 0})]


class SignerInfos(core.SetOf):
    _child_spec = core.Any


class SignedData(core.Sequence):
    _fields = [
        ("version", core.Integer),
        ("digest_algorithms", DigestAlgorithms),
        ("content_info", CatalogContentInfo),
        ("signer_infos", SignerInfos),
    ]


class ContentInfo(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", SignedData, {"explicit": 0})]


def wide(text):
    """A catalog's text value: UTF-16LE with its terminating zero."""
    return (text + "\0").encode("utf-16-le")


def authenticode_digest(data, algorithm):
    """The hash of a PE image as Authenticode defines it (the file read in order, the three
    parts that a signature changes left out)."""
    if data[:2] != b"MZ":
        raise ValueError("not a PE image (no MZ header)")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe : pe + 4] != b"PE\0\0":
        raise ValueError("not a PE image (no PE signature)")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x10B:
        directories = optional + 96
    elif magic == 0x20B:
        directories = optional + 112
    else:
        raise ValueError("unknown optional header magic 0x%X" % magic)
    if struct.unpack_from("<I", data, directories - 4)[0] < 5:
        raise ValueError("the image has no certificate-table directory entry")
    checksum = optional + 64
    security = directories + 4 * 8
    table_offset, table_size = struct.unpack_from("<II", data, security)
    end = len(data)
    if table_offset:
        if table_offset + table_size != len(data):
            raise ValueError("the certificate table is not at the end of the file")
        end = table_offset
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4 : security])
    digest.update(data[security + 8 : end])
    return digest.digest()


def name_value(tag, value):
    return CatNameValue({"tag": tag, "flags": NAMEVALUE_FLAGS, "value": wide(value)})


def member(name, data, algorithm, os_attr):
    is_pe = name.lower().endswith(PE_SUFFIXES)
    if is_pe:
        digest = authenticode_digest(data, algorithm)
        obsolete = SpcLink(name="file", value=SpcString(name="unicode", value="<<<Obsolete>>>"))
        subject = SpcAttributeTypeAndOptionalValue(
            {"type": OID_SPC_PE_IMAGE_DATA, "value": SpcPeImageData({"flags": (), "file": obsolete})}
        )
        sip = SIP_PE_IMAGE
    else:
        digest = hashlib.new(algorithm, data).digest()
        obsolete = SpcLink(name="file", value=SpcString(name="unicode", value="<<<Obsolete>>>"))
        subject = SpcAttributeTypeAndOptionalValue({"type": OID_SPC_CAB_DATA, "value": obsolete})
        sip = SIP_FLAT_FILE
    indirect = SpcIndirectDataContent(
        {
            "data": subject,
            "message_digest": {"digest_algorithm": {"algorithm": algorithm}, "digest": digest},
        }
    )
    attributes = [
        {"type": OID_CAT_NAMEVALUE, "values": [name_value("File", name)]},
        {"type": OID_CAT_NAMEVALUE, "values": [name_value("OSAttr", os_attr)]},
        {"type": OID_CAT_MEMBERINFO, "values": [CatMemberInfo({"subject_guid": sip, "cert_version": MEMBER_CERT_VERSION})]},
        {"type": OID_SPC_INDIRECT_DATA, "values": [indirect]},
    ]
    # The member's tag is its hash in upper-case hexadecimal, the form Windows looks it up by.
    return {"identifier": wide(digest.hex().upper()), "attributes": attributes}


def make_catalog(files, when, os_list, os_attr, hardware_ids):
    members = []
    for name, data in files:
        for algorithm in ("sha1", "sha256"):
            members.append(member(name, data, algorithm, os_attr))
    header = [("OS", os_list)] + [("HWID%d" % (index + 1), hwid) for index, hwid in enumerate(hardware_ids)]
    extensions = [{"extn_id": OID_CAT_NAMEVALUE, "extn_value": name_value(tag, value).dump()} for tag, value in header]
    subjects = TrustedSubjects(members)
    identifier = hashlib.sha256(subjects.dump() + repr(header).encode()).digest()[:16]
    trust_list = CertificateTrustList(
        {
            "subject_usage": [OID_CATALOG_LIST],
            "list_identifier": identifier,
            "this_update": when,
            "subject_algorithm": {"type": OID_CATALOG_LIST_MEMBER, "value": core.Null()},
            "trusted_subjects": subjects,
            "extensions": extensions,
        }
    )
    signed = SignedData(
        {
            "version": 1,
            "digest_algorithms": [],
            "content_info": {"content_type": OID_CTL, "content": trust_list},
            "signer_infos": [],
        }
    )
    return ContentInfo({"content_type": OID_SIGNED_DATA, "content": signed}).dump()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--time", required=True, type=int, help="the list's time, seconds since 1970")
    parser.add_argument("--os", required=True, help='the catalog\'s OS attribute, as "7X86,7X64,_v100_X64"')
    parser.add_argument("--os-attr", required=True, help='each file\'s OSAttr, as "2:6.1,2:10.0"')
    parser.add_argument("--hwid", action="append", default=[], help="a hardware ID the INF file installs for")
    parser.add_argument("files", nargs="+", metavar="NAME=PATH")
    arguments = parser.parse_args()

    files = []
    for item in arguments.files:
        name, separator, path = item.partition("=")
        if not separator or not name or not path:
            parser.error("a file is NAME=PATH, not %s" % item)
        with open(path, "rb") as stream:
            files.append((name, stream.read()))
    when = datetime.datetime.fromtimestamp(arguments.time, datetime.timezone.utc)
    try:
        catalog = make_catalog(files, when, arguments.os, arguments.os_attr, [h.lower() for h in arguments.hwid])
    except ValueError as error:
        print("make_catalog: %s" % error, file=sys.stderr)
        return 1
    with open(arguments.out, "wb") as stream:
        stream.write(catalog)
    return 0


if __name__ == "__main__":
    sys.exit(main())
