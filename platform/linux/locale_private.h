// Language and country codes and locale catalogs: the id tables, the
// catalog reader and look-up, and the player's own catalog. Used inside
// platform/linux and by tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/linux/platform.h"

struct StreamHandle;

// ---- Locale and catalogs ----
// The user's language and country from LANG, the tables between the
// script's LANGUAGE_ and COUNTRY_ ids and ISO codes, and locale catalogs:
// string tables in the user's language, either IFF "FORM" "CTLG" files or
// plain UTF-8 text files with one string per line. Used by the main thread.

constexpr int32_t LANGUAGE_ENGLISH = 0;
constexpr int32_t LANGUAGE_UNKNOWN = 18;  // no table row has it
constexpr int32_t COUNTRY_UNKNOWN = 38;   // no table row has it

// A catalog read whole into memory; strings are fetched by number.
struct Catalog;
// base/directory/<language name>/catalog, opened for reading through the
// stream layer with file adapters; null when it does not open. base may be
// null; useNative picks the native name where the row has one.
StreamHandle* BuildCatalogPath(const char* base, const char* directory, const char* catalogName,
                               int32_t languageId, int useNative);
// Null for English or an unknown language (no catalog is searched), when no
// catalog file opens, or when the file holds no strings.
Catalog* LoadCatalogFile(const char* name);
// The catalog's string of that number in the run's text mode, or def. The
// text stays valid until the catalog is freed.
const char* LookUpCatalogString(Catalog* catalog, int32_t number, const char* def);
void FreeCatalogFile(Catalog* catalog);  // null is ignored

// The player's own catalog ("Quillmere.catalog"): opened at start-up, its
// strings replace the built-in texts of the same numbers (a replacement is
// taken only when its conversions match the built-in text's). Opening again
// closes the previous one. Returns whether a catalog was found.
constexpr const char* PLAYER_CATALOG_NAME = "Quillmere.catalog";
// Installs catalog (may be null) as the source of the built-in texts
// without taking ownership; the caller keeps it open while installed.
void InstallTextCatalog(Catalog* catalog);
