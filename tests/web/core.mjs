// blkswap's web module under node, called as the page's worker calls it: bytes in, the core's
// document, picture and bytes out.
import {createRequire} from 'node:module';
import {resolve} from 'node:path';

export async function loadCore(webDir) {
  const require = createRequire(import.meta.url);
  const createBlkswap = require(resolve(webDir, 'blkswap_core.js'));
  const core = await createBlkswap();

  const put = (bytes) => {
    const at = core._web_alloc(bytes.length) >>> 0;
    if (at === 0) throw new Error(`no memory in the core for ${bytes.length} bytes`);
    core.HEAPU8.set(bytes, at);
    return at;
  };
  const withName = (name, call) => {
    const at = put(new TextEncoder().encode(name + '\0'));
    try {
      return call(at);
    } finally {
      core._web_free(at);
    }
  };
  const results = (status) => {
    const length = core._web_bytes_length() >>> 0;
    const at = core._web_bytes() >>> 0;
    return {
      status,
      document: core.UTF8ToString(core._web_document() >>> 0),
      picture: core.UTF8ToString(core._web_picture() >>> 0),
      bytes: length > 0 ? Buffer.from(core.HEAPU8.slice(at, at + length)) : Buffer.alloc(0),
    };
  };
  return {
    open: (bytes, name) =>
        results(withName(name, (n) => core._web_open(put(bytes), bytes.length, n))),
    choose: (index, bytes, name) =>
        results(withName(name, (n) => core._web_choose(index, put(bytes), bytes.length, n))),
    forget: () => core._web_forget_choices(),
    dryRun: (keepOffsets = false) => results(core._web_dry_run(keepOffsets ? 1 : 0)),
    merge: (keepOffsets = false) => results(core._web_merge(keepOffsets ? 1 : 0)),
    extract: (index) => results(core._web_extract(index)),
    verify: () => results(core._web_verify()),
  };
}
