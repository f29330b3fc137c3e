// Debug dumps of encoded envelopes into the diagnostic log (the ASN.1 structure, and the
// octets as lines of hex and characters), and the message-type sniffer that names the
// kind of an encoded message.
//
// All state lives with the calling thread; each line goes through zv_log, so any thread
// may dump.
#ifndef ZV_CODEC_ZV_DUMP_H
#define ZV_CODEC_ZV_DUMP_H

// Size of the line buffer handed to the printer's line splitter.
constexpr int ZV_DUMP_LINE_SIZE = 66560;

// The crypto library's ASN.1 printout of the `len` octets of DER at `bufp`, at debug
// level 1, between a header and a trailer line, followed by the printer's result.
// Returns 0 when the dump ran (whatever the printer made of the octets), -1 when no
// output channel could be made or `bufp` is missing.
int dump_asn1(const unsigned char *bufp, int len);

// One line at debug level 1 per 16 octets: offset, four groups of four octets in hex,
// then the same positions as characters (0x20 to 0x7F as themselves, others '.').
// Positions past the end show as 00 and '.'; nothing beyond `len` is read. Returns 0.
int dump_hex_char(const unsigned char *bufp, int len);

// Names the kind of the `len` octets at `pp` into `onamep` (`olen` bytes, always
// NUL-terminated when olen > 0): 1 when the first octet names it (0x04, 0x03, 0x16),
// -1 when it cannot be named, else the result of the walk for a SEQUENCE: 0 with the
// name of the first OBJECT IDENTIFIER found (its registered long name, else short name,
// else dotted numbers), 1 when there is none, 2 at end-of-contents, -1 on an encoding
// error, -2 for a constructed element longer than what is left. Writes the first six
// octets to standard error first.
int mk_ASN1_parse(const unsigned char *pp, long len, char *onamep, int olen);

#endif
