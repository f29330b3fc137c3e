// The system's object identifiers: the built-in table of twelve rows and their
// registration in the crypto library's process-wide object registry, so that builders
// find them by short name and the dumps name them.
//
// Registration runs once per process during start-up, on the main thread, before any
// other thread exists (the registry is then only read).
#ifndef ZV_CODEC_ZV_OIDS_H
#define ZV_CODEC_ZV_OIDS_H

// The built-in table text (671 characters): per row the identifier, its short name and
// its long name (which keeps the one blank that ends its row), then an empty line.
extern const char zv_oid_table[];
constexpr int ZV_OID_TABLE_LENGTH = 671;

// Parses a table text (lines of at most 511 characters, ended by an empty line or a
// line that does not begin with a letter or digit) and registers each row. Returns the
// number of rows registered. A row whose identifier the library already knows counts as
// registered: the row's names that are still free are added to it as another entry of
// the registry (the library keeps its own names for its own identifiers).
int OBJ_create_objects2(const char *in);

// Registers the built-in table, with the debug lines of level 16.
void load_zvObjectIdentifiers();

#endif
