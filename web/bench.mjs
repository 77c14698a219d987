// The page's cost against raw WebGL drawing the same triangle (web/bench/raw.html), in one headless
// Chromium run, the two pages loaded in turn, PAIRS times:
//
//     node web/bench.mjs SITE [PAIRS]      (web/run --bench builds SITE and runs this)
//
// For each page: main-thread script and task time per animation frame (DevTools' metrics over
// FRAMES frames, after the first WARM_UP), time from navigation to the end of the first frame,
// and the bytes it loads, raw and gzipped (each file at gzip's best). Medians, and the ratios.

import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import zlib from 'node:zlib';

import {launch, serve} from '../tests/web/browser.mjs';

const WARM_UP = 30;
const FRAMES = 180;

// Counts the page's animation frames; notes when the first one ended; resolves waits on a count.
const COUNTER = `(() => {
  const raf = window.requestAnimationFrame.bind(window);
  const count = window.__count = {frames: 0, first: 0, waits: []};
  window.requestAnimationFrame = (callback) => raf((time) => {
    callback(time);
    if (++count.frames === 1) count.first = performance.now();
    count.waits = count.waits.filter(([frames, done]) => count.frames < frames || done());
  });
  count.until = (frames) => new Promise((done) => count.waits.push([frames, done]));
})();`;

async function measure(page, url, name, folder) {
  const files = new Set();
  const onResponse = (response) => {
    if (response.url().startsWith(url)) files.add(response.url().slice(url.length) || 'index.html');
  };
  page.on('response', onResponse);
  await page.goto('about:blank');
  await page.goto(url + name);
  await page.evaluate((frames) => window.__count.until(frames), WARM_UP);
  page.off('response', onResponse);
  const before = await page.metrics();
  const from = await page.evaluate(() => window.__count.frames);
  await page.evaluate((frames) => window.__count.until(frames), from + FRAMES);
  const after = await page.metrics();
  const frames = await page.evaluate(() => window.__count.frames) - from;
  let bytes = 0, gzipped = 0;
  for (const name of files) {
    const data = fs.readFileSync(path.join(folder, name));
    bytes += data.length;
    gzipped += zlib.gzipSync(data, {level: 9}).length;
  }
  return {
    script: (after.ScriptDuration - before.ScriptDuration) * 1000 / frames,
    task: (after.TaskDuration - before.TaskDuration) * 1000 / frames,
    first: await page.evaluate(() => window.__count.first),
    bytes, gzipped, files: [...files].sort().join(' '),
  };
}

const median = (values) => values.sort((a, b) => a - b)[values.length >> 1];

const [site, pairs = 5] = process.argv.slice(2);
const raw = path.join(path.dirname(fileURLToPath(import.meta.url)), 'bench');
const servers = [await serve(raw), await serve(site)];
const browser = await launch('chromium');
try {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(COUNTER);
  const runs = {raw: [], whirlet: []};
  for (let i = 0; i < pairs; i++) {
    runs.raw.push(await measure(page, servers[0].url, 'raw.html', raw));
    runs.whirlet.push(await measure(page, servers[1].url, '', site));
  }
  const load = os.loadavg()[0].toFixed(1);
  console.log(`${os.cpus()[0].model}, ${os.cpus().length} cores, load ${load};` +
              ` ${await browser.version()}; medians of ${pairs} runs of each page, alternated`);
  console.log(`Whirlet's page loads: ${runs.whirlet[0].files}`);
  const rows = [['script ms/frame', 'script', 3], ['task ms/frame', 'task', 3],
                ['first frame ms', 'first', 0], ['bytes', 'bytes', 0],
                ['bytes gzipped', 'gzipped', 0]];
  console.log('                   raw WebGL    Whirlet   ratio');
  for (const [label, key, digits] of rows) {
    const [a, b] = [median(runs.raw.map((r) => r[key])), median(runs.whirlet.map((r) => r[key]))];
    console.log(`${label.padEnd(16)} ${a.toFixed(digits).padStart(11)}` +
                ` ${b.toFixed(digits).padStart(10)} ${(b / a).toFixed(2).padStart(6)}x`);
  }
} finally {
  await browser.close();
  for (const server of servers) await server.close();
}
