'use strict';
// The page: opens an image, shows its map and blocks, takes new contents for the chosen blocks,
// rehearses and runs the merge, and offers the merged image for download. Every file stays on
// this computer: the worker reads it and runs blkswap's core on it.

const $ = (selector) => document.querySelector(selector);

let worker = null;
let nextId = 1;
const pending = new Map();
let image = null;          // the File open
let info = null;           // its --info document
const chosen = new Map();  // block index => File of its new contents
let selected = null;       // the block index the next block file is for
let downloadUrl = null;

// A size in the largest binary unit it reaches, as the command line gives it.
function human(bytes) {
  const units = ['B', 'KiB', 'MiB', 'GiB'];
  let unit = 0;
  let scale = 1;
  while (unit + 1 < units.length && bytes >= scale * 1024) {
    scale *= 1024;
    unit += 1;
  }
  if (bytes % scale === 0) return `${bytes / scale} ${units[unit]}`;
  return `~${(Math.round(bytes / scale * 10) / 10).toFixed(1)} ${units[unit]}`;
}

const hex = (n) => '0x' + n.toString(16).padStart(8, '0');

function say(text, kind = 'info') {
  const box = $('#message');
  box.textContent = text;
  box.className = text ? kind : '';
}

function startWorker() {
  worker = new Worker('worker.js');
  worker.onmessage = (event) => {
    const answer = pending.get(event.data.id);
    pending.delete(event.data.id);
    if (answer) answer(event.data);
  };
  worker.onerror = (event) => {
    for (const [id, answer] of pending) answer({id, crashed: event.message || 'the worker stopped'});
    pending.clear();
  };
}

function call(op, args = {}) {
  return new Promise((resolve) => {
    const id = nextId++;
    pending.set(id, resolve);
    worker.postMessage({id, op, args});
  });
}

// A request to the core. When its worker stopped (out of memory inside the core), the page says
// so and a new worker takes the image and the chosen blocks again, so that the next action works.
async function request(op, args) {
  const answer = await call(op, args);
  // The core's memory, as large as it has grown: for the page's test and its figures.
  if (answer.memory) document.body.dataset.coreMemory = answer.memory;
  if (answer.noMemory !== undefined) {
    say(`This browser has no memory for a file of ${human(answer.noMemory)}.`, 'error');
    return null;
  }
  if (!answer.crashed) return answer;
  say(`This browser ran out of memory (${answer.crashed}). Nothing was written; try again, ` +
      'or with smaller files.', 'error');
  worker.terminate();
  startWorker();
  if (image && info) {
    await call('open', {file: image});
    for (const [index, file] of chosen) await call('choose', {index, file});
  }
  return null;
}

function errorOf(answer) {
  try {
    return JSON.parse(answer.document).error.message;
  } catch (_) {
    return 'the core gave no reason';
  }
}

function showMap(picture) {
  const map = $('#map');
  map.innerHTML = picture;
  for (const block of map.querySelectorAll('g[data-index]')) {
    const index = Number(block.dataset.index);
    block.setAttribute('tabindex', '0');
    block.setAttribute('role', 'button');
    block.classList.toggle('chosen', chosen.has(index));
    block.addEventListener('click', () => select(index));
    block.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' || event.key === ' ') {
        event.preventDefault();
        select(index);
      }
    });
  }
}

function showBlocks() {
  const body = $('#blocks tbody');
  body.textContent = '';
  if (!info) return;
  for (const block of info.blocks) {
    const row = body.insertRow();
    row.dataset.index = block.index;
    row.tabIndex = 0;
    const file = chosen.get(block.index);
    const cells = [block.index, block.name, block.id_hex, hex(block.table), hex(block.offset),
                   `${hex(block.size)} (${human(block.size)})`, human(block.room), block.state,
                   file ? `${file.name} (${human(file.size)})` : ''];
    cells.forEach((text, k) => {
      const cell = row.insertCell();
      cell.textContent = text;
      if (k === 7) cell.className = `state-${text}`;
    });
    const extract = document.createElement('button');
    extract.type = 'button';
    extract.textContent = 'extract';
    extract.addEventListener('click', (event) => {
      event.stopPropagation();
      extractBlock(block.index);
    });
    row.insertCell().append(extract);
    row.classList.toggle('selected', block.index === selected);
    row.addEventListener('click', () => select(block.index));
    row.addEventListener('keydown', (event) => {
      if (event.target === row && (event.key === 'Enter' || event.key === ' ')) {
        event.preventDefault();
        select(block.index);
      }
    });
  }
}

function select(index) {
  selected = index;
  const block = info.blocks[index];
  $('#chosen-block').textContent = `block ${index} (${block.name})`;
  $('#blockfile').disabled = false;
  for (const row of document.querySelectorAll('#blocks tbody tr')) {
    row.classList.toggle('selected', Number(row.dataset.index) === index);
  }
}

function setEnabled() {
  const open = info !== null;
  $('#verify').disabled = !open;
  $('#dry-run').disabled = !open || chosen.size === 0;
  $('#merge').disabled = !open || chosen.size === 0;
  $('#forget').disabled = chosen.size === 0;
  $('#blockfile').disabled = !open || selected === null;
}

function hideDownload() {
  const link = $('#download');
  link.hidden = true;
  if (downloadUrl) URL.revokeObjectURL(downloadUrl);
  downloadUrl = null;
}

async function openImage(file) {
  say('');
  hideDownload();
  image = file;
  info = null;
  chosen.clear();
  selected = null;
  $('#summary').textContent = `Reading ${file.name} (${human(file.size)})...`;
  const answer = await request('open', {file});
  if (answer === null || answer.status !== 0) {
    if (answer) say(errorOf(answer), 'error');
    $('#summary').textContent = '';
    $('#map').textContent = '';
    showBlocks();
    setEnabled();
    return;
  }
  info = JSON.parse(answer.document);
  const tables = info.tables.length;
  const blocks = info.blocks.length;
  $('#summary').textContent = `${file.name}: ${human(info.length)} (${hex(info.length)}), ` +
      `${tables} ${tables === 1 ? 'table' : 'tables'}, ${blocks} ${blocks === 1 ? 'block' : 'blocks'}`;
  showMap(answer.picture);
  showBlocks();
  setEnabled();
}

async function chooseFile(file) {
  if (selected === null || !info) return;
  hideDownload();
  const index = selected;
  if (chosen.has(index)) {  // new contents again: the others stay chosen
    const others = [...chosen].filter(([k]) => k !== index);
    await request('forget');
    chosen.clear();
    for (const [k, f] of others) {
      if ((await request('choose', {index: k, file: f}))?.status === 0) chosen.set(k, f);
    }
  }
  const answer = await request('choose', {index, file});
  if (answer !== null && answer.status === 0) {
    chosen.set(index, file);
    say(`Block ${index} (${info.blocks[index].name}) will get ${file.name} (${human(file.size)}).`);
  } else if (answer !== null) {
    say(errorOf(answer), 'error');
  }
  showBlocks();
  for (const block of document.querySelectorAll('#map g[data-index]')) {
    block.classList.toggle('chosen', chosen.has(Number(block.dataset.index)));
  }
  setEnabled();
}

function describeMerge(doc) {
  const lines = [];
  if (doc.moved && doc.moved.count > 0) {
    const first = info.blocks[doc.moved.first];
    lines.push(`moved: ${doc.moved.count} ${doc.moved.count === 1 ? 'block' : 'blocks'}, ` +
               `the first block ${first.index} (${first.name})`);
  } else if (doc.moved) {
    lines.push('moved: no block');
  }
  if (doc.erased) {
    lines.push(`erased: ${doc.erased.count} bytes outside every block become 0xFF` +
               (doc.erased.count > 0 ? ` (the first at ${hex(doc.erased.first)})` : ''));
  }
  if (doc.stale && doc.stale.count > 0) {
    lines.push(`stale: ${doc.stale.count} bytes keep their old contents ` +
               `(the first at ${hex(doc.stale.first)})`);
  }
  for (const warning of doc.warnings || []) lines.push(`warning: ${warning.message}`);
  return lines.join('\n');
}

async function dryRun() {
  hideDownload();
  const answer = await request('dry-run', {keepOffsets: $('#keep-offsets').checked});
  if (answer === null) return;
  const doc = JSON.parse(answer.document);
  if (answer.picture) showMap(answer.picture);
  if (doc.merge === 'succeeds') {
    say('The merge would succeed. Nothing was written.\n' + describeMerge(doc));
  } else {
    say('The merge would fail: ' + doc.error.message, 'error');
  }
}

function mergedName(name) {
  const dot = name.lastIndexOf('.');
  return dot > 0 ? `${name.slice(0, dot)}-merged${name.slice(dot)}` : `${name}-merged`;
}

async function merge() {
  hideDownload();
  const answer = await request('merge', {keepOffsets: $('#keep-offsets').checked});
  if (answer === null) return;
  if (answer.status !== 0) {
    say('The merge failed: ' + errorOf(answer), 'error');
    return;
  }
  const doc = JSON.parse(answer.document);
  downloadUrl = URL.createObjectURL(new Blob([answer.bytes], {type: 'application/octet-stream'}));
  const link = $('#download');
  link.href = downloadUrl;
  link.download = mergedName(image.name);
  link.textContent = `Download ${link.download} (${human(answer.bytes.byteLength)})`;
  link.hidden = false;
  say('Merged.\n' + describeMerge(doc));
}

async function extractBlock(index) {
  const answer = await request('extract', {index});
  if (answer === null) return;
  if (answer.status !== 0) {
    say(errorOf(answer), 'error');
    return;
  }
  const url = URL.createObjectURL(new Blob([answer.bytes || new ArrayBuffer(0)]));
  const link = document.createElement('a');
  link.href = url;
  link.download = `${String(index).padStart(2, '0')}-${info.blocks[index].name || 'block'}.bin`;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

async function verify() {
  const answer = await request('verify');
  if (answer === null) return;
  const doc = JSON.parse(answer.document);
  const stale = doc.blocks.filter((block) => block.state === 'stale');
  const lines = stale.map((block) =>
      `stale: block ${block.index} (${block.name}): stored ${hex(block.checksum)}, ` +
      `computed ${hex(block.computed)}`);
  lines.push(`${doc.blocks.length} blocks: ${doc.ok} ok, ${doc.stale} stale, ${doc.none} none`);
  say(lines.join('\n'), stale.length > 0 ? 'error' : 'info');
}

async function forget() {
  hideDownload();
  await request('forget');
  chosen.clear();
  showBlocks();
  for (const block of document.querySelectorAll('#map g.chosen')) block.classList.remove('chosen');
  setEnabled();
  say('');
}

startWorker();
$('#image').addEventListener('change', (event) => {
  if (event.target.files.length > 0) openImage(event.target.files[0]);
  event.target.value = '';
});
$('#blockfile').addEventListener('change', (event) => {
  if (event.target.files.length > 0) chooseFile(event.target.files[0]);
  event.target.value = '';
});
$('#dry-run').addEventListener('click', dryRun);
$('#merge').addEventListener('click', merge);
$('#verify').addEventListener('click', verify);
$('#forget').addEventListener('click', forget);
document.addEventListener('dragover', (event) => {
  event.preventDefault();
  document.body.classList.add('dragging');
});
document.addEventListener('dragleave', () => document.body.classList.remove('dragging'));
document.addEventListener('drop', (event) => {
  event.preventDefault();
  document.body.classList.remove('dragging');
  const file = event.dataTransfer.files[0];
  if (file) openImage(file);
});
