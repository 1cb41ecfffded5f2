/* Reading a version block (VS_VERSIONINFO, resource type 16) as untrusted bytes: the fixed part's
 * place and the text values of the first string table. Header-only and C-style, no heap, so that
 * the launcher (its placeholders) and the packer (list, verify) read the block the same way. */
#ifndef TAVRIN_RESOURCES_VERSION_STRINGS_H
#define TAVRIN_RESOURCES_VERSION_STRINGS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "resources/product.h"

enum {
    version_fixed_size = 52,        /* VS_FIXEDFILEINFO */
    version_node_header_size = 6,   /* wLength, wValueLength, wType */
    version_text_capacity = 1024    /* the longest text value read, terminator included */
};

/* The built-in text (product.h) of the version block's text `key` (ASCII): what stands in for a
 * text that the block or the image lacks. NULL for a key the launcher's own block does not hold.
 * The launcher expands its placeholders so (format/placeholders.h names each one's key); the packer
 * shows them so. */
inline const char* version_fallback_text(const char* key)
{
    static const char* const fallbacks[][2] = {
        {"CompanyName", TAVRIN_COMPANY_NAME},
        {"ProductName", TAVRIN_PRODUCT_NAME},
        {"ProductVersion", TAVRIN_PRODUCT_VERSION_TEXT},
        {"FileVersion", TAVRIN_FILE_VERSION_TEXT},
    };
    for (size_t i = 0; i < sizeof fallbacks / sizeof fallbacks[0]; ++i)
        if (strcmp(fallbacks[i][0], key) == 0) return fallbacks[i][1];
    return NULL;
}

/* One node of the block: [start, end) and where its value starts. */
struct version_node {
    size_t start;
    size_t end;
    size_t value;
    size_t value_length; /* wValueLength as stored */
    unsigned type;
};

inline unsigned version_u16(const unsigned char* block, size_t at)
{
    return static_cast<unsigned>(block[at] | (block[at + 1] << 8));
}

inline size_t version_align4(size_t value) { return (value + 3) & ~static_cast<size_t>(3); }

/* Reads the node at `at` inside [0, limit) of `block`; its key must equal the ASCII `key` unless
 * `key` is NULL. False when the node or its key does not lie inside the limit. */
inline bool read_version_node(const unsigned char* block, size_t at, size_t limit, const char* key, version_node* node)
{
    if (at + version_node_header_size > limit) return false;
    size_t length = version_u16(block, at);
    if (length < version_node_header_size || at + length > limit) return false;
    size_t unit = at + version_node_header_size;
    size_t i = 0;
    for (;; ++i, unit += 2) {
        if (unit + 2 > at + length) return false;
        unsigned code = version_u16(block, unit);
        if (key != NULL && code != static_cast<unsigned char>(key[i])) return false;
        if (code == 0) break;
    }
    node->start = at;
    node->end = at + length;
    node->value = version_align4(unit + 2);
    node->value_length = version_u16(block, at + 2);
    node->type = version_u16(block, at + 4);
    return node->value <= node->end;
}

/* The offset of the fixed part (52 bytes, signature 0xFEEF04BD), or 0 when the block's root is not
 * VS_VERSION_INFO with a whole fixed part. */
inline size_t version_fixed_offset(const unsigned char* block, size_t size)
{
    version_node root;
    if (!read_version_node(block, 0, size, "VS_VERSION_INFO", &root)) return 0;
    if (root.value_length != version_fixed_size || root.value + version_fixed_size > root.end) return 0;
    const unsigned char* fixed = block + root.value;
    uint32_t signature = static_cast<uint32_t>(fixed[0] | fixed[1] << 8 | fixed[2] << 16) | static_cast<uint32_t>(fixed[3]) << 24;
    return signature == 0xFEEF04BDu ? root.value : 0;
}

/* Finds the text value `key` (ASCII) in the first string table of StringFileInfo and copies it with
 * its terminator into `text` (version_text_capacity units). True when found; false when the block
 * is malformed anywhere on the way (a node outside its parent, an unterminated key or value, a
 * value longer than the capacity) or holds no such value. */
inline bool find_version_text(const unsigned char* block, size_t size, const char* key, wchar_t* text)
{
    size_t fixed = version_fixed_offset(block, size);
    if (fixed == 0) return false;
    version_node root = {0, 0, 0, 0, 0};
    if (!read_version_node(block, 0, size, NULL, &root)) return false;
    for (size_t child = version_align4(fixed + version_fixed_size); child < root.end;) {
        version_node info;
        if (!read_version_node(block, child, root.end, NULL, &info)) return false;
        child = version_align4(info.end);
        version_node match;
        if (!read_version_node(block, info.start, info.end, "StringFileInfo", &match)) continue;
        version_node table;
        if (!read_version_node(block, version_align4(info.value), info.end, NULL, &table)) return false;
        for (size_t at = version_align4(table.value); at < table.end;) {
            version_node value;
            if (!read_version_node(block, at, table.end, NULL, &value)) return false;
            at = version_align4(value.end);
            version_node named;
            if (!read_version_node(block, value.start, value.end, key, &named)) continue;
            /* The text runs to its terminator inside the node, whatever the stored value length. */
            for (size_t i = 0; i < version_text_capacity; ++i) {
                size_t unit = value.value + 2 * i;
                if (unit + 2 > value.end) return false;
                text[i] = static_cast<wchar_t>(version_u16(block, unit));
                if (text[i] == 0) return true;
            }
            return false;
        }
        return false;
    }
    return false;
}

#endif
