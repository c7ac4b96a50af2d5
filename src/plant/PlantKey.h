#ifndef PLANTKEY_H_
#define PLANTKEY_H_

// A station folder's key in the plant's table: made once, kept in the folder (records-db-key)
// by the station that writes the folder; a folder that is only read (--serve) is never written
// to, and its key is found by its content instead.

#include <cstddef>
#include <string>

extern const char *const PLANT_KEY_FILE;

// The key kept in dir: true with it; false with why empty when there is none, with why when the
// file cannot be read or holds no key.
bool plantKeyRead(const std::string &dir, std::string &key, std::string &why);
// Keeps key in dir unless one is there already (two followers at once: the first one wins);
// key gets the one kept. False with why when it cannot be written.
bool plantKeyKeep(const std::string &dir, std::string &key, std::string &why);
// A new key: this host's name and 16 random hex digits.
std::string plantKeyMade();
// The key of a folder that holds none and is only read: made from its first unit's line (its
// number and text as stored), so the same archive sent twice gets the same key.
std::string plantKeyOfContent(size_t number, const std::string &storedLine);

#endif
