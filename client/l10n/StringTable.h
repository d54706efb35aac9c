#pragma once

#include <span>

// One row of a language's string table: a key and its literal UTF-8 text.
struct StringEntry {
    const char *key;
    const char *text;
};

// The three tables, each kept as data in its own file under strings/ for translators.
namespace StringTable {

std::span<const StringEntry> en();
std::span<const StringEntry> zh();
std::span<const StringEntry> zhHK();

} // namespace StringTable
