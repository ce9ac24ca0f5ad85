// The web module against the native command line, on generated images and the sample: the same
// --info document and map, the same dry run's document, the same merged bytes, the same
// extracted block and the same --verify document.
// Usage: node --no-experimental-fetch parity.mjs WEB_DIR NATIVE_BUILD_DIR
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {copyFileSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join, resolve} from 'node:path';

import {loadCore} from './core.mjs';

const [webDir, native] = process.argv.slice(2);
const tool = resolve(native, 'blkswap');
const work = mkdtempSync(join(tmpdir(), 'blkswap-web-parity-'));

// The native command line in `work`, with the files named as the web module is given them.
function blkswap(...args) {
  const run = spawnSync(tool, args, {cwd: work, maxBuffer: 1 << 30});
  return {status: run.status, out: run.stdout.toString(), err: run.stderr.toString()};
}

const core = await loadCore(webDir);
let compared = 0;
try {
  const images = join(work, 'images');
  mkdirSync(images);
  const made = spawnSync(resolve(native, 'tests', 'make_parity_images'), [images, '24']);
  assert.equal(made.status, 0, made.stderr?.toString());
  const cases = readdirSync(images).filter((f) => f.endsWith('.bin')).map((f) => ({
    flash: join(images, f),
    block: join(images, f.replace(/\.bin$/, '.block')),
    name: readFileSync(join(images, f.replace(/\.bin$/, '.name')), 'utf8'),
  }));
  cases.push({
    flash: join(native, 'sample', 'flash.bin'),
    block: join(native, 'sample', 'bootloader.bin'),
    name: 'bootload',
  });
  for (const c of cases) {
    copyFileSync(c.flash, join(work, 'f.bin'));
    copyFileSync(c.block, join(work, 'b.bin'));
    const flash = readFileSync(c.flash);
    const block = readFileSync(c.block);
    const label = `${c.flash} (${c.name})`;

    const info = blkswap('--info', 'f.bin', '--json');
    const opened = core.open(flash, 'f.bin');
    assert.equal(opened.document, info.out, `${label}: --info`);
    if (info.status !== 0) continue;  // no image: nothing more to compare
    assert.equal(opened.picture, blkswap('--info', 'f.bin', '--svg').out, `${label}: the map`);
    assert.equal(core.verify().document, blkswap('--verify', 'f.bin', '--json').out,
                 `${label}: --verify`);

    // The block the name chooses, by its index, as the page chooses it.
    const chosen = blkswap('--extract', 'f.bin', c.name, 'x.bin', '--json');
    if (chosen.status !== 0) continue;
    const index = JSON.parse(chosen.out).block.index;
    assert.deepEqual(core.extract(index).bytes, readFileSync(join(work, 'x.bin')),
                     `${label}: --extract`);

    const dryRun = blkswap('--dry-run', '--index', 'f.bin', String(index), 'b.bin', '--json');
    const choice = core.choose(index, block, 'b.bin');
    if (choice.status !== 0) {  // refused from its length, as the command line refuses it
      assert.equal(JSON.parse(choice.document).error.message,
                   JSON.parse(dryRun.out).error.message, `${label}: the choice`);
      continue;
    }
    assert.equal(core.dryRun().document, dryRun.out, `${label}: --dry-run`);
    const merged = blkswap('--merge', '--index', 'f.bin', String(index), 'b.bin', 'm.bin');
    const web = core.merge();
    assert.equal(web.status === 0, merged.status === 0, `${label}: the merge's status`);
    if (merged.status === 0) {
      assert.deepEqual(web.bytes, readFileSync(join(work, 'm.bin')), `${label}: the merge`);
    }
    core.forget();
    compared += 1;
  }
  console.log(`web parity: ${cases.length} images, ${compared} merges: the same documents, ` +
              'pictures and bytes as the command line');
} catch (error) {
  // Said here, in a few lines: the module's glue would print its whole source with it.
  console.error(`web parity: ${error.message}`);
  process.exitCode = 1;
} finally {
  rmSync(work, {recursive: true, force: true});
}
