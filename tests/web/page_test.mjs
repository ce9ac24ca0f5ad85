// The page in Debian's Chromium, served from 127.0.0.1 as any static host serves it: the sample
// image opened, a dry run, a merge downloaded and compared with the native merge byte for byte,
// --keep-offsets, verify and extract, the failures a person meets (a block file too large, a file
// that is no image, one too large for the browser) with the page working after each, a dropped
// file, the keyboard and a narrow window, and a 64 MiB image merged. With
// BLKSWAP_WEB_BENCH=1 it times the page on 64 and 256 MiB images instead.
// Usage: node page_test.mjs WEB_DIR NATIVE_BUILD_DIR WORK_DIR
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {mkdirSync, readFileSync, rmSync, statSync, truncateSync, writeFileSync} from 'node:fs';
import {createServer} from 'node:http';
import {extname, join, normalize, resolve} from 'node:path';

import {chromium} from 'playwright-core';

const [webDir, native, work] = process.argv.slice(2).map((p) => resolve(p));
const tool = join(native, 'blkswap');
const sample = join(native, 'sample');
rmSync(work, {recursive: true, force: true});
mkdirSync(work, {recursive: true});

function blkswap(...args) {
  const run = spawnSync(tool, args, {maxBuffer: 1 << 30});
  assert.equal(run.status, 0, `blkswap ${args.join(' ')}: ${run.stderr}`);
  return run.stdout.toString();
}

const types = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
               '.wasm': 'application/wasm'};
const server = createServer((request, response) => {
  let path = normalize(decodeURIComponent(new URL(request.url, 'http://x').pathname));
  if (path === '/') path = '/index.html';
  try {
    const body = readFileSync(join(webDir, path));
    response.writeHead(200, {'Content-Type': types[extname(path)] || 'application/octet-stream'});
    response.end(body);
  } catch (_) {
    response.writeHead(404);
    response.end();
  }
});
await new Promise((ready) => server.listen(0, '127.0.0.1', ready));
const url = `http://127.0.0.1:${server.address().port}/`;

const browser = await chromium.launch({executablePath: '/usr/bin/chromium', args: ['--no-sandbox']});
const page = await browser.newPage({viewport: {width: 1280, height: 800}, acceptDownloads: true});
const problems = [];
page.on('pageerror', (error) => problems.push(error.message));

const message = () => page.textContent('#message');
const rows = () => page.locator('#blocks tbody tr[data-index]').count();

async function open(file) {
  const start = Date.now();
  await page.setInputFiles('#image', file);
  await page.waitForFunction(() => !document.querySelector('#summary').textContent.startsWith('Reading'));
  return Date.now() - start;
}

async function choose(index, file) {
  await page.click(`#blocks tbody tr[data-index="${index}"]`);
  await page.setInputFiles('#blockfile', file);
  await page.waitForFunction(
      (i) => document.querySelector(`#blocks tbody tr[data-index="${i}"] td:nth-child(9)`)
                 .textContent !== '' || document.querySelector('#message').className === 'error',
      index);
}

async function mergeAndDownload(saveAs) {
  const start = Date.now();
  await page.click('#merge');
  await page.waitForSelector('a#download:not([hidden])');
  const [download] = await Promise.all([page.waitForEvent('download'), page.click('a#download')]);
  await download.saveAs(saveAs);
  return {took: Date.now() - start, name: download.suggestedFilename()};
}

async function forget() {
  await page.click('#forget');
  await page.waitForFunction(() => document.querySelector('#forget').disabled);
}

try {
  await page.goto(url);
  if (process.env.BLKSWAP_WEB_BENCH) {
    for (const mebibytes of [64, 256]) {
      const dir = join(work, `${mebibytes}`);
      mkdirSync(dir);
      spawnSync(join(native, 'bench', 'make_bench_image'), [dir, String(mebibytes)]);
      const times = [];
      for (let round = 0; round < 3; ++round) {
        await page.reload();
        // The browser's processes (the page, its worker and the rest), their resident memory
        // summed, sampled every 50 ms: the peak of the round.
        let peak = 0;
        const sampler = setInterval(() => {
          const ps = spawnSync('ps', ['-C', 'chromium', '-o', 'rss=']).stdout.toString();
          peak = Math.max(peak, ps.split('\n').reduce((sum, kb) => sum + (Number(kb) || 0), 0));
        }, 50);
        const map = await open(join(dir, 'image.bin'));
        await choose(0, join(dir, 'block.bin'));
        let start = Date.now();
        await page.click('#dry-run');
        await page.waitForFunction(() => document.querySelector('#message').textContent.includes('would'));
        const rehearsed = Date.now() - start;
        const merged = await mergeAndDownload(join(dir, 'merged.bin'));
        start = Date.now();
        await page.click('#verify');
        await page.waitForFunction(() => document.querySelector('#message').textContent.includes('blocks:'));
        const verified = Date.now() - start;
        start = Date.now();
        const [block] = await Promise.all([
          page.waitForEvent('download'),
          page.click('#blocks tbody tr[data-index="1"] button')]);
        await block.saveAs(join(dir, 'block1.bin'));
        const extracted = Date.now() - start;
        clearInterval(sampler);
        const core = Number(await page.evaluate(() => document.body.dataset.coreMemory));
        times.push({map_ms: map, dry_run_ms: rehearsed, download_ms: merged.took, verify_ms: verified,
                    extract_ms: extracted, core_mib: core >> 20, browser_peak_mib: peak >> 10});
      }
      console.log(`${mebibytes} MiB: ${JSON.stringify(times)}`);
    }
    const sizes = ['blkswap_core.wasm', 'blkswap_core.js', 'index.html', 'app.js', 'worker.js',
                   'style.css'].map((f) => `${f} ${statSync(join(webDir, f)).size}`);
    console.log(`sizes: ${sizes.join(', ')}`);
  } else {
    // The sample: its five blocks in the table and the map, and the page's own words.
    await open(join(sample, 'flash.bin'));
    assert.equal(await rows(), 5);
    assert.equal(await page.locator('#map svg g[data-index]').count(), 5);
    assert.match(await page.textContent('#summary'), /flash\.bin: 512 KiB .*2 tables, 5 blocks/);
    assert.match(await page.textContent('header'), /Nothing is uploaded/);
    await page.screenshot({path: join(work, 'page.png'), fullPage: true});

    // A dry run with the sample's boot loader shows the moves and the map before and after.
    await choose(0, join(sample, 'bootloader.bin'));
    await page.click('#dry-run');
    await page.waitForFunction(() => document.querySelector('#message').textContent.includes('would'));
    assert.match(await message(), /moved: 2 blocks, the first block 1 \(kernel\)/);
    assert.equal(await page.locator('#map svg g[data-replaced="true"]').count(), 1);

    // The merge's download is the native merge, byte for byte, under a name made of the image's.
    const merged = await mergeAndDownload(join(work, 'merged.bin'));
    assert.equal(merged.name, 'flash-merged.bin');
    blkswap(join(sample, 'flash.bin'), 'bootload', join(sample, 'bootloader.bin'),
            join(work, 'native.bin'));
    assert.deepEqual(readFileSync(join(work, 'merged.bin')), readFileSync(join(work, 'native.bin')));

    // A block file too large: the refusal with the block's room; then a merge works again.
    await forget();
    writeFileSync(join(work, 'large.bin'), Buffer.alloc(0x50000, 7));
    await choose(1, join(work, 'large.bin'));
    await page.click('#dry-run');
    await page.waitForFunction(() => document.querySelector('#message').className === 'error');
    assert.match(await message(), /would fail: .*block 1 \(kernel\) is given 327680 bytes but can hold at most \d+/);
    assert.equal(await page.locator('#map svg g[data-at-fault="true"]').count(), 1);
    await forget();
    await choose(0, join(sample, 'bootloader.bin'));
    assert.equal((await mergeAndDownload(join(work, 'again.bin'))).name, 'flash-merged.bin');

    // With every block kept at its offset the boot loader has only its 24 KiB: refused.
    await page.check('#keep-offsets');
    await page.click('#dry-run');
    await page.waitForFunction(() => document.querySelector('#message').className === 'error');
    assert.match(await message(), /block 0 \(bootload\) is given 29696 bytes but can hold at most 24576/);
    await page.uncheck('#keep-offsets');

    // Verify names a stale block; extract downloads a block as the command line extracts it.
    const stale = readFileSync(join(sample, 'flash.bin'));
    stale[0x17000 + 100] ^= 0xFF;  // a byte of the kernel's
    writeFileSync(join(work, 'stale.bin'), stale);
    await open(join(work, 'stale.bin'));
    await page.click('#verify');
    await page.waitForFunction(() => document.querySelector('#message').textContent.includes('blocks:'));
    assert.match(await message(), /stale: block 1 \(kernel\).*\n5 blocks: 3 ok, 1 stale, 1 none/);
    const [extracted] = await Promise.all([
      page.waitForEvent('download'),
      page.click('#blocks tbody tr[data-index="1"] button')]);
    assert.equal(extracted.suggestedFilename(), '01-kernel.bin');
    await extracted.saveAs(join(work, 'kernel.bin'));
    blkswap('--extract', join(work, 'stale.bin'), 'kernel', join(work, 'native-kernel.bin'));
    assert.deepEqual(readFileSync(join(work, 'kernel.bin')), readFileSync(join(work, 'native-kernel.bin')));

    // A file too large for the core (4 GiB and more, here a sparse one): said, and nothing lost.
    const huge = join(work, 'huge.bin');
    writeFileSync(huge, '');
    truncateSync(huge, 2 ** 32 + 2 ** 19);
    await open(huge);
    assert.match(await message(), /no memory for a file of ~4\.0 GiB/);
    rmSync(huge);

    // A file that is no image: the reason, and the page still opens the next one.
    await open(join(sample, 'bootloader.bin'));
    assert.match(await message(), /bootloader\.bin: its length is not a multiple of 512 KiB/);
    assert.equal(await rows(), 0);
    // Dropped on the page (a drop event carrying the file, as a browser gives it).
    const dropped = await page.evaluateHandle((bytes) => {
      const transfer = new DataTransfer();
      transfer.items.add(new File([new Uint8Array(bytes)], 'dropped.bin'));
      return transfer;
    }, [...readFileSync(join(sample, 'flash.bin'))]);
    await page.dispatchEvent('main', 'drop', {dataTransfer: dropped});
    await page.waitForFunction(() => document.querySelector('#summary').textContent.startsWith('dropped.bin'));
    assert.equal(await rows(), 5);

    // The keyboard reaches the blocks; a narrow window scrolls the map and the table, not the page.
    await page.focus('#blocks tbody tr[data-index="1"]');
    await page.keyboard.press('Enter');
    assert.match(await page.textContent('#chosen-block'), /block 1 \(kernel\)/);
    await page.setViewportSize({width: 400, height: 800});
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 400));
    await page.setViewportSize({width: 1280, height: 800});

    // A 64 MiB image, merged and compared.
    const big = join(work, 'big');
    mkdirSync(big);
    spawnSync(join(native, 'bench', 'make_bench_image'), [big, '64']);
    await open(join(big, 'image.bin'));
    assert.equal(await rows(), 8);
    await choose(0, join(big, 'block.bin'));
    await mergeAndDownload(join(big, 'merged.bin'));
    blkswap(join(big, 'image.bin'), 'bootload', join(big, 'block.bin'), join(big, 'native.bin'));
    assert.deepEqual(readFileSync(join(big, 'merged.bin')), readFileSync(join(big, 'native.bin')));
    rmSync(big, {recursive: true});
    assert.deepEqual(problems, []);
    console.log('page: the sample, a dry run, two merges, two refusals and a 64 MiB merge in ' +
                `Chromium; the screenshot is ${join(work, 'page.png')}`);
  }
} catch (error) {
  console.error(`page: ${error.message}\nthe message shown: ${await message().catch(() => '')}`);
  await page.screenshot({path: join(work, 'failed.png')}).catch(() => {});
  process.exitCode = 1;
} finally {
  await browser.close();
  server.close();
}
