'use strict';
// The page's worker: runs blkswap's core (WebAssembly) off the page's thread, so that the merge
// of a large image never freezes the page. It reads the files itself, straight into the core's
// memory, and answers each request with the core's results: a JSON document, an SVG picture,
// bytes.
importScripts('blkswap_core.js');
const corePromise = createBlkswap();
const kChunk = 16 << 20;  // a file is copied into the core this many bytes at a time

// A file's bytes in a buffer of the core's (which web_open and web_choose take over), or 0
// when the core has no memory for them. The core counts in 32 bits: a file of 4 GiB or more
// can never be held, and its length must not reach the core cut short.
async function fileIntoCore(core, file) {
  if (file.size >= 2 ** 32) return 0;
  const at = core._web_alloc(file.size) >>> 0;
  if (at === 0) return 0;
  for (let done = 0; done < file.size; done += kChunk) {
    const part = await file.slice(done, Math.min(file.size, done + kChunk)).arrayBuffer();
    core.HEAPU8.set(new Uint8Array(part), at + done);
  }
  return at;
}

function textIntoCore(core, text) {
  const bytes = new TextEncoder().encode(text + '\0');
  const at = core._web_alloc(bytes.length) >>> 0;
  if (at !== 0) core.HEAPU8.set(bytes, at);
  return at;
}

// Runs `call` with `name` as a C string of the core's.
function withName(core, name, call) {
  const at = textIntoCore(core, name);
  try {
    return call(at);
  } finally {
    core._web_free(at);
  }
}

async function run(core, op, args) {
  switch (op) {
    case 'open':
    case 'choose': {
      const at = await fileIntoCore(core, args.file);
      if (at === 0) return {noMemory: args.file.size};
      return withName(core, args.file.name, (name) =>
          op === 'open' ? core._web_open(at, args.file.size, name)
                        : core._web_choose(args.index, at, args.file.size, name));
    }
    case 'forget':
      core._web_forget_choices();
      return 0;
    case 'dry-run':
      return core._web_dry_run(args.keepOffsets ? 1 : 0);
    case 'merge':
      return core._web_merge(args.keepOffsets ? 1 : 0);
    case 'extract':
      return core._web_extract(args.index);
    case 'verify':
      return core._web_verify();
  }
  throw new Error('no such request: ' + op);
}

onmessage = async (event) => {
  const {id, op, args} = event.data;
  try {
    const core = await corePromise;
    const status = await run(core, op, args);
    if (typeof status === 'object') {
      postMessage({id, ...status});
      return;
    }
    const length = core._web_bytes_length() >>> 0;
    const at = core._web_bytes() >>> 0;
    const bytes = length > 0 ? core.HEAPU8.slice(at, at + length).buffer : null;
    postMessage({
      id,
      status,
      document: core.UTF8ToString(core._web_document() >>> 0),
      picture: core.UTF8ToString(core._web_picture() >>> 0),
      bytes,
      memory: core.HEAPU8.length,
    }, bytes ? [bytes] : []);
  } catch (error) {
    // The core stopped where it could not say why (out of memory inside it): this worker is
    // done, and the page starts another.
    postMessage({id, crashed: String(error)});
  }
};
