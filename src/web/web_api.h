// blkswap for a web page: the same core over bytes in memory, for a page that runs it as
// WebAssembly in a worker. No arguments, no files: an image is opened from its bytes, blocks are
// chosen by index with the bytes of their new contents, and each call leaves its results, a JSON
// document as the command line prints it, an SVG picture, or bytes, for the page to take.
// A plain C interface, so that the page calls it without any binding layer.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// A buffer of `length` bytes for the page to fill with an image or a block file; null when the
// memory cannot be had. Handed to web_open or web_choose, it is theirs; else web_free it.
uint8_t* web_alloc(size_t length);
void web_free(uint8_t* bytes);

// Opens the image in `bytes` (web_alloc's, `length` long), named `name`; any choices go. 0, with
// --info's document and its map as the results; else the failure's code, with its document.
int web_open(uint8_t* bytes, size_t length, const char* name);

// Chooses block `index` of the open image for new contents, the block file in `bytes`
// (web_alloc's), named `name`: what --merge's BLOCKNAME BLOCKFILE pair does. 0, else the
// failure's code with its document (the block file is then let go).
int web_choose(size_t index, uint8_t* bytes, size_t length, const char* name);
// Lets every chosen block file go.
void web_forget_choices();

// The dry run of the chosen blocks: 0 when the merge would succeed, else its code; the dry run's
// document and picture either way.
int web_dry_run(int keep_offsets);

// The merge of the chosen blocks, composed in memory: 0, with the merged image as the result's
// bytes and the merge's document (its warnings); else the failure's code and its document.
int web_merge(int keep_offsets);

// The bytes of block `index` as loaded: 0, else a failure's code and its document.
int web_extract(size_t index);

// Every stored checksum checked: --verify's document. 0, or 1 when a checksum is stale.
int web_verify();

// The results of the last call: the JSON document (empty when none), the SVG picture (empty
// when none), and the bytes (none: null and 0).
const char* web_document();
const char* web_picture();
const uint8_t* web_bytes();
size_t web_bytes_length();
}
