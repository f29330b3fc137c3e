// The DER core under both message-codec families: the system's own envelopes
// (codec/zv_asn1.h) and the TCIF-98-006 family (tcif/). It owns
//
//   * the error-queue entry every codec reports with (library 13, a reason, the
//     operation's name as the entry's function, "offset=N" as its data);
//   * zv_der_writer, the one writer behind every encoder: the same code runs once to
//     measure and once to write, so the two passes agree by construction; lengths are
//     always definite and minimal; SET OF entries are sorted in DER order;
//   * zv_der_reader, a non-owning view (pointer, length) that reads identifier and
//     length octets (definite and indefinite, end-of-contents) and moves forward only
//     when a read succeeds;
//   * record descriptions as data (zv_der_type with its zv_der_field table) and the one
//     generic walker that creates, releases, encodes and decodes any described record.
//     Family rules (field tests, empty lists written or not, CHOICE selector handling)
//     are flags of a zv_der_family, never copies of the walker.
//
// Universal values are the crypto library's own types and are encoded and decoded with
// its i2d_/d2i_ functions: ASN1_OBJECT, ASN1_INTEGER, ASN1_OCTET_STRING, ASN1_BIT_STRING,
// ASN1_NULL, ASN1_STRING as PrintableString or IA5String, X509_ALGOR. Lists are the
// library's OPENSSL_STACK (any STACK_OF(T)).
//
// No global state but the reason texts, registered once with the crypto library before
// the first entry is queued: safe for any thread, one record at a time per thread. Error
// entries go to the calling thread's error queue.
//
// ---------------------------------------------------------------------------------
// How a codec family uses the core (the pattern of codec/zv_asn1.cc):
//
//   struct my_rec { ASN1_OBJECT *id; ASN1_OCTET_STRING *content; };
//   extern const zv_der_family my_family;            // flags, see zv_der_family
//   const zv_der_field my_rec_fields[] = {
//     ZV_DER_FIELD(my_rec, id, zv_der_object),
//     ZV_DER_EXPLICIT(my_rec, content, zv_der_octet_string, 0, ZV_DER_OPTIONAL),
//   };
//   const zv_der_type my_rec_type =
//       ZV_DER_SEQUENCE_TYPE(my_rec, my_rec_fields, &my_family, "my_rec_new", "d2i_my_rec");
//
//   my_rec *my_rec_new() { return (my_rec *)zv_der_new(&my_rec_type); }
//   void my_rec_free(my_rec *a) { zv_der_free(&my_rec_type, a); }
//   int i2d_my_rec(my_rec *a, unsigned char **pp) { return zv_der_i2d(&my_rec_type, a, pp); }
//   my_rec *d2i_my_rec(my_rec **a, const unsigned char **pp, long length) {
//     return (my_rec *)zv_der_d2i(&my_rec_type, (void **)a, pp, length);
//   }
// ---------------------------------------------------------------------------------
#ifndef ZV_CODEC_ZV_DER_H
#define ZV_CODEC_ZV_DER_H

#include <cstddef>
#include <cstdint>

#include <openssl/asn1.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

// ---------------------------------------------------------------------------------
// Error queue
// ---------------------------------------------------------------------------------

// Every codec entry carries library 13 (the crypto library's ASN.1 library number).
constexpr int ZV_DER_LIB = 13;

// Reason codes: the crypto library's historic numbers, printed with its historic texts
// ("nested asn1 error", "bad asn1 object header", "bad get asn1 object call",
// "expecting an asn1 sequence", "asn1 length mismatch", "missing asn1 eos",
// "malloc failure", "bad tag"; see zv_der_load_reason_strings).
constexpr int ZV_DER_R_NESTED = 58;           // a member, list or target failed; the default
constexpr int ZV_DER_R_BAD_HEADER = 59;       // header of an explicit tag unreadable
constexpr int ZV_DER_R_BAD_GET_OBJECT = 60;   // SEQUENCE header unreadable or past the input
constexpr int ZV_DER_R_NOT_SEQUENCE = 61;     // tag number is not 16
constexpr int ZV_DER_R_LENGTH_MISMATCH = 62;  // content left over
constexpr int ZV_DER_R_MISSING_EOS = 63;      // end-of-contents missing
constexpr int ZV_DER_R_MALLOC = 65;           // a record could not be allocated
constexpr int ZV_DER_R_UNKNOWN_CHOICE = 104;  // no alternative of a CHOICE matched

// Queues one entry: library ZV_DER_LIB, `reason`, `func` as the entry's function name,
// `file`/`line` as its source, and, when `offset` >= 0, the error data "offset=<offset>"
// (the position of the failing element from the start of the failing decoder's input).
void zv_der_error(const char *func, int reason, const char *file, int line, long offset);

// Registers, under ZV_DER_LIB, the texts of the reasons above for which the crypto
// library has none of its own (OpenSSL 3 dropped the common ASN.1 ones, so a printed
// queue would read "reason(60)"); a text the library has is left as it is. Only the
// first call does anything; safe from any thread. zv_der_error calls it, so the texts
// are there whether or not a process registered anything at start-up.
void zv_der_load_reason_strings();

// ---------------------------------------------------------------------------------
// Writer
// ---------------------------------------------------------------------------------

// Octets of a definite length field in the shortest form (1 up to 127, else 1 + k).
constexpr size_t zv_der_length_size(size_t length) {
  if (length < 0x80) return 1;
  size_t k = 0;
  for (size_t v = length; v != 0; v >>= 8) ++k;
  return 1 + k;
}
// Identifier octet plus length field, for a content of `length` octets.
constexpr size_t zv_der_header_size(size_t length) { return 1 + zv_der_length_size(length); }

// The DER order of SET OF entries: byte comparison over the shorter length, and when
// equal there the shorter first. True when a sorts before b.
bool zv_der_set_less(const unsigned char *a, size_t alen, const unsigned char *b,
                     size_t blen);

// Counts octets and, when given a buffer, writes them. A writer without a buffer is the
// measuring pass; the same calls with a buffer are the writing pass. It never checks
// room: the caller measured first (or owns a buffer known to be large enough).
class zv_der_writer {
 public:
  explicit zv_der_writer(unsigned char *out = nullptr) : out_(out) {}

  bool measuring() const { return out_ == nullptr; }
  size_t size() const { return n_; }
  // Where the next octet goes (null while measuring).
  unsigned char *cursor() const { return out_ ? out_ + n_ : nullptr; }

  void put_byte(unsigned char b);
  void put_bytes(const void *data, size_t len);
  // One identifier octet and a minimal definite length.
  void put_header(unsigned char identifier, size_t length);
  // Accounts for `len` octets that a crypto-library i2d_ call wrote at cursor().
  void advance(size_t len) { n_ += len; }

 private:
  unsigned char *out_;
  size_t n_ = 0;
};

// ---------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------

constexpr int ZV_DER_UNIVERSAL = 0x00;
constexpr int ZV_DER_APPLICATION = 0x40;
constexpr int ZV_DER_CONTEXT = 0x80;
constexpr int ZV_DER_PRIVATE = 0xC0;

struct zv_der_header {
  unsigned char identifier = 0;  // the first octet as it stands
  int tag = 0;                   // tag number (high-tag-number form included)
  int cls = 0;                   // ZV_DER_UNIVERSAL ... ZV_DER_PRIVATE
  bool constructed = false;
  bool indefinite = false;       // length octet 0x80 (constructed only)
  long length = 0;               // content octets; 0 when indefinite
  long header_length = 0;        // identifier and length octets
};

enum class zv_der_status {
  ok,
  bad_header,  // no octets, truncated header, reserved length form, primitive indefinite
  too_long,    // readable, but a definite length runs past the view
};

// A non-owning view of `size` octets. Every read either succeeds and moves the view
// forward, or fails and leaves it where it was.
class zv_der_reader {
 public:
  zv_der_reader() = default;
  zv_der_reader(const unsigned char *data, long size)
      : p_(data), n_(data && size > 0 ? size : 0) {}

  const unsigned char *data() const { return p_; }
  long remaining() const { return n_; }
  bool empty() const { return n_ == 0; }
  int peek() const { return n_ > 0 ? p_[0] : -1; }  // next octet or -1

  zv_der_status peek_header(zv_der_header *h) const;
  zv_der_status read_header(zv_der_header *h);
  bool at_eoc() const { return n_ >= 2 && p_[0] == 0 && p_[1] == 0; }
  bool read_eoc();         // consumes 00 00 when it stands next
  bool skip(long n);       // fails when fewer than n octets remain
  // The first n octets as a view of their own (n is clamped to what remains).
  zv_der_reader first(long n) const { return zv_der_reader(p_, n < n_ ? n : n_); }

 private:
  const unsigned char *p_ = nullptr;
  long n_ = 0;
};

// ---------------------------------------------------------------------------------
// Record descriptions
// ---------------------------------------------------------------------------------

enum class zv_der_kind : unsigned char {
  // Universal values: the slot holds a pointer to the crypto library's type.
  object,            // ASN1_OBJECT; one without content octets writes nothing
  integer,           // ASN1_INTEGER
  octet_string,      // ASN1_OCTET_STRING
  bit_string,        // ASN1_BIT_STRING; the library derives the unused-bit count
  null_value,        // ASN1_NULL, 05 00
  printable_string,  // ASN1_STRING written 0x13 with its octets unchanged
  ia5_string,        // ASN1_STRING written 0x16 with its octets unchanged
  algor,             // X509_ALGOR; one without an algorithm writes nothing
  // Records described by a field table.
  sequence,          // 0x30 header, then the fields in order
  choice,            // no header: only the selected alternative is written
  bare,              // the fields in order with no header (a bare identifier record)
};

enum class zv_der_container : unsigned char {
  one,          // the slot holds one value or record
  set_of,       // the slot holds an OPENSSL_STACK of the type; 0x31
  sequence_of,  // the slot holds an OPENSSL_STACK of the type; 0x30
};

// The first-octet test a decoder applies to a field. `derived` is what the families
// use: an [n] EXPLICIT field needs exactly 0xA0+n; SET OF exactly 0x31; SEQUENCE OF
// exactly 0x30; a universal value or a SEQUENCE record its tag with the constructed
// bit cleared; an X509_ALGOR, a CHOICE or a bare record is taken on any octet.
enum class zv_der_test : unsigned char { derived, any, masked, exact };

// Field flags.
constexpr unsigned ZV_DER_OPTIONAL = 1u << 0;        // taken only when its test passes
                                                     // (else it keeps its value)
constexpr unsigned ZV_DER_NULL_WHEN_ABSENT = 1u << 1;  // when not taken: released, NULL

struct zv_der_type;

// One field of a SEQUENCE or bare record, or one alternative of a CHOICE.
struct zv_der_field {
  const char *name;
  size_t offset;                 // of the pointer slot in the record (unused in a CHOICE)
  const zv_der_type *type;       // the value's type, or the list entries' type
  zv_der_container container;
  int explicit_tag;              // n of an [n] EXPLICIT wrapper (always constructed), or -1
  int selector;                  // CHOICE alternatives: the selector value that names it
  unsigned flags;                // ZV_DER_OPTIONAL, ZV_DER_NULL_WHEN_ABSENT
  zv_der_test test;              // usually derived
  unsigned char test_octet;      // for masked / exact overrides
};

// Family flags.
// Decoder: every field is taken only when octets remain and its first octet passes the
// field's test; a field not taken keeps its value. Without it, a field that is not
// OPTIONAL is always decoded from what remains (and fails on nothing).
constexpr unsigned ZV_DER_F_TEST_FIELDS = 1u << 0;
// Encoder: an empty SET OF / SEQUENCE OF is not written (without it: 31 00 / 30 00).
constexpr unsigned ZV_DER_F_SKIP_EMPTY_LISTS = 1u << 1;
// Decoder: entries are appended to what a list already holds (without it the list is
// cleared, entries released, before the set is read).
constexpr unsigned ZV_DER_F_APPEND_LISTS = 1u << 2;
// An INTEGER without content octets (a fresh one) is written 02 00, and 02 00 decodes to
// such an INTEGER. Without it the crypto library's encoder writes 02 01 00 and 02 00 is
// refused.
constexpr unsigned ZV_DER_F_EMPTY_INTEGER = 1u << 3;
// CHOICE decoder: no octets at all means "nothing selected" and succeeds (selector -1,
// cursor unmoved). Without it, no octets give NULL without an error entry.
constexpr unsigned ZV_DER_F_CHOICE_EMPTY_ABSENT = 1u << 4;
// CHOICE decoder: when the matched alternative fails, the record keeps that
// alternative's selector with a NULL pointer (without it: selector -1).
constexpr unsigned ZV_DER_F_CHOICE_KEEP_SELECTOR = 1u << 5;
// CHOICE decoder: its error entries carry the "offset=N" data (without it: no data).
constexpr unsigned ZV_DER_F_CHOICE_OFFSET = 1u << 6;

struct zv_der_family {
  const char *name;
  unsigned flags;
  // CHOICE decoder given octets that match no alternative: with a reason, the message
  // (when not null) goes straight to standard error and an entry with this reason is
  // queued; with 0, the decoder returns NULL without an entry.
  int choice_unknown_reason;
  const char *choice_unknown_message;
};

// One record type (or one universal type, for list entries and the walker's own use).
struct zv_der_type {
  zv_der_kind kind;
  const char *name;
  size_t size;                   // sizeof the record struct (records only)
  const zv_der_field *fields;    // fields in order, or CHOICE alternatives in order
  size_t nfields;
  const zv_der_family *family;   // rules for this record's own fields (records only)
  const char *new_func;          // function name of creation error entries
  const char *d2i_func;          // function name of decoding error entries
  size_t selector_offset;        // CHOICE: the int selector
  size_t pointer_offset;         // CHOICE: the union of alternative pointers
};

// The universal types.
extern const zv_der_type zv_der_object;
extern const zv_der_type zv_der_integer;
extern const zv_der_type zv_der_octet_string;
extern const zv_der_type zv_der_bit_string;
extern const zv_der_type zv_der_null;
extern const zv_der_type zv_der_printable_string;
extern const zv_der_type zv_der_ia5_string;
extern const zv_der_type zv_der_algor;

// Field-table helpers (T is the record struct, m the member).
#define ZV_DER_FIELD(T, m, type_) \
  {#m, offsetof(T, m), &(type_), zv_der_container::one, -1, 0, 0, zv_der_test::derived, 0}
#define ZV_DER_FIELD_F(T, m, type_, flags_) \
  {#m, offsetof(T, m), &(type_), zv_der_container::one, -1, 0, (flags_), zv_der_test::derived, 0}
#define ZV_DER_EXPLICIT(T, m, type_, n, flags_) \
  {#m, offsetof(T, m), &(type_), zv_der_container::one, (n), 0, (flags_), zv_der_test::derived, 0}
#define ZV_DER_SET_OF(T, m, elem_) \
  {#m, offsetof(T, m), &(elem_), zv_der_container::set_of, -1, 0, 0, zv_der_test::derived, 0}
#define ZV_DER_SEQUENCE_OF(T, m, elem_) \
  {#m, offsetof(T, m), &(elem_), zv_der_container::sequence_of, -1, 0, 0, zv_der_test::derived, 0}
// A CHOICE alternative: selector value, type, and [n] EXPLICIT tag or -1 for untagged.
#define ZV_DER_ALT(name_, selector_, type_, n) \
  {name_, 0, &(type_), zv_der_container::one, (n), (selector_), 0, zv_der_test::derived, 0}

#define ZV_DER_SEQUENCE_TYPE(T, fields_, family_, new_func_, d2i_func_)                 \
  {zv_der_kind::sequence, #T, sizeof(T), (fields_), sizeof(fields_) / sizeof((fields_)[0]), \
   (family_), (new_func_), (d2i_func_), 0, 0}
#define ZV_DER_BARE_TYPE(T, fields_, family_, new_func_, d2i_func_)                     \
  {zv_der_kind::bare, #T, sizeof(T), (fields_), sizeof(fields_) / sizeof((fields_)[0]), \
   (family_), (new_func_), (d2i_func_), 0, 0}
// T has an int selector member `sel` and a union of pointers `ptr`.
#define ZV_DER_CHOICE_TYPE(T, sel, ptr, alts_, family_, new_func_, d2i_func_)            \
  {zv_der_kind::choice, #T, sizeof(T), (alts_), sizeof(alts_) / sizeof((alts_)[0]),      \
   (family_), (new_func_), (d2i_func_), offsetof(T, sel), offsetof(T, ptr)}

// ---------------------------------------------------------------------------------
// The walker
// ---------------------------------------------------------------------------------

// A new record with every field given a fresh empty value (an identifier not yet set,
// zero-length strings, a fresh INTEGER, empty lists, nested records built the same
// way; a CHOICE record selects nothing: selector -1, pointer NULL). NULL when the
// record cannot be allocated (entry: reason 65 with t->new_func) or when a member
// cannot be created (no entry of its own; what was made is released).
// For a universal type: that type's fresh value.
void *zv_der_new(const zv_der_type *t);

// Releases the record (or universal value) and everything it owns: each field by its
// type, each list with every entry, a CHOICE's selected alternative. NULL does nothing.
void zv_der_free(const zv_der_type *t, void *rec);

// CHOICE only: releases the selected alternative (when its selector names one) and
// resets the record to select nothing (selector -1, pointer NULL). `rec` must not be
// NULL.
void zv_der_choice_reset(const zv_der_type *t, void *rec);

// The length of the record's DER encoding. With `pp` null (or *pp null) it only
// measures; else it writes at *pp, advances *pp by the length and returns it. A NULL
// record gives 0. Never fails and queues nothing: a NULL field, an identifier without
// content and a CHOICE that selects nothing (or holds a NULL pointer) write nothing.
int zv_der_i2d(const zv_der_type *t, const void *rec, unsigned char **pp);

// Decodes one record from the `length` octets at *pp, by the rules of t->family:
//  - target: *a when a and *a are given (the caller's record: never released here, may
//    be left partly overwritten), else a new record from zv_der_new (failure: 58);
//  - SEQUENCE: header tag number 16 (class and form not examined), definite or
//    indefinite, within `length` (unreadable or past the input: 60; other tag: 61);
//    fields in order (a failing field: 58; an explicit header: 59; an explicit or
//    list of indefinite length without its end-of-contents: 63; octets left inside a
//    definite explicit wrapper: 62); end: no octet left in a definite SEQUENCE (62),
//    end-of-contents after an indefinite one (63); octets after the element are not
//    looked at;
//  - CHOICE: see the family flags; the alternatives are tried in table order by their
//    first-octet test; octets after the alternative are left to the caller;
//  - bare: the fields in order from the start of the input, nothing checked after.
// Universal values are decoded into a temporary and replace the field's value only on
// success; a nested record is decoded into the record the field already holds.
// Success: *pp moves past the element, *a receives the record when a is given, and the
// record is returned. Failure: one entry (t->d2i_func, the reason, "offset=N"), the
// record released unless it is the caller's, *pp unchanged, NULL returned.
void *zv_der_d2i(const zv_der_type *t, void **a, const unsigned char **pp, long length);

#endif
