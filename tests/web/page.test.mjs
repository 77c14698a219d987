// The program in real browsers, Chromium and Firefox, looked at and used as a person would.
//
// Frames are read back right after the page drew them and compared with where the camera must
// put the triangle (tests/e2e/geometry.py's camera, below). Frame n of the page (the first is 1)
// shows the triangle turned by n - 1 degrees: one degree per frame the browser shows.
//
// WHIRLET_WEB_SITE names the folder that web/run built (default: build/web/site);
// WHIRLET_WEB_ENGINES the engines, comma-separated (default: chromium,firefox).

import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, afterEach, before, describe, test} from 'node:test';
import {fileURLToPath} from 'node:url';

import {launch, serve, Tab} from './browser.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const SITE = path.resolve(process.env.WHIRLET_WEB_SITE || path.join(HERE, '../../build/web/site'));
const ENGINES = (process.env.WHIRLET_WEB_ENGINES || 'chromium,firefox').split(',');

const TITLE = 'Whirlet@Brackenholme';
// The menu as the desktop shows it, top to bottom: [label, submenu entries or null].
const MENU = [['White', null], ['RGB Menu', ['Red', 'Blue', 'Green']]];
const COLOURS = {White: '255,255,255', Red: '255,0,0', Green: '0,255,0', Blue: '0,0,255'};

// What the toolchain's GL emulation prints on every start, whatever the program does.
const TOOLCHAIN_LINES = [
  'WARNING: using emscripten GL emulation. This is a collection of limited workarounds, ' +
  'do not expect it to work.',
  'WARNING: using emscripten GL immediate mode emulation. This is very limited in what it ' +
  'supports',
];
// Chromium's note that the tests' own read-back of the canvas stalls its GPU work.
const PROBE_NOISE = /GPU stall due to ReadPixels/;

// ---------------------------------------------------------------------------------------------
// What a frame must show: the camera of tests/e2e/geometry.py

const VERTICES = [[-0.5, -0.5, 0], [0.5, 0, 0], [0, 0.5, 0]];
const EYE_DISTANCE = 5;
const FOV_Y_DEGREES = 45;

// Window pixel (x right, y down) of a model vertex turned by angle degrees about +y.
function project([x, y, z], angle, width, height) {
  const a = angle * Math.PI / 180;
  const xr = x * Math.cos(a) + z * Math.sin(a), zr = -x * Math.sin(a) + z * Math.cos(a);
  const depth = EYE_DISTANCE - zr;
  const t = Math.tan(FOV_Y_DEGREES / 2 * Math.PI / 180);
  return [(1 + xr / (depth * t * (width / height))) * width / 2,
          (1 - y / (depth * t)) * height / 2];
}

// Row -> [first, last] pixel of the triangle turned by angle: the pixels whose centres the
// camera puts inside it.
function expectedSpans(angle, width, height) {
  const corners = VERTICES.map((v) => project(v, angle, width, height));
  const spans = {};
  for (let y = 0; y < height; y++) {
    const centre = y + 0.5;
    const xs = corners.flatMap(([xa, ya], i) => {
      const [xb, yb] = corners[(i + 1) % 3];
      return Math.min(ya, yb) <= centre && centre < Math.max(ya, yb)
        ? [xa + (centre - ya) * (xb - xa) / (yb - ya)] : [];
    }).sort((a, b) => a - b);
    if (xs.length === 2 && Math.ceil(xs[0] - 0.5) <= Math.floor(xs[1] - 0.5)) {
      spans[y] = [Math.ceil(xs[0] - 0.5), Math.floor(xs[1] - 0.5)];
    }
  }
  return spans;
}

// The frame shows the flat triangle in colour, turned by one degree per frame since the first,
// where the camera puts it: every lit pixel but a few on the edges as computed.
function assertShows(frame, colour, tolerance = 12) {
  const angle = (frame.number - 1) % 360;
  const want = expectedSpans(angle, frame.width, frame.height);
  let wrong = 0, area = 0;
  for (const y of new Set([...Object.keys(want), ...Object.keys(frame.spans)])) {
    const [first, last] = want[y] || [0, -1];
    const [gotFirst, gotLast, count] = frame.spans[y] || [0, -1, 0];
    const whole = count === gotLast - gotFirst + 1;  // a row with a gap in it is all wrong
    const overlap = whole ? Math.max(0, Math.min(last, gotLast) - Math.max(first, gotFirst) + 1) : 0;
    wrong += last - first + 1 + count - 2 * overlap;
    area += last - first + 1;
  }
  assert.ok(wrong <= tolerance, `${frame}: ${wrong} pixels differ from the triangle turned by ` +
                                `${angle} degrees (${area} pixels)`);
  if (area > tolerance) assert.equal(frame.colour, COLOURS[colour], `${frame}: expected ${colour}`);
}

// The next frame that shows this angle, at least two frames from now.
async function frameAt(tab, angle) {
  let number = await tab.frames() + 2;
  number += ((angle - (number - 1)) % 360 + 360) % 360;
  return tab.frame(number);
}

// ---------------------------------------------------------------------------------------------
// Using the page

const canvasBox = (tab) => tab.evaluate(() => {
  const r = document.getElementById('canvas').getBoundingClientRect();
  return [r.left, r.top, r.width, r.height];
});

// The labels of the open menus, outermost first, as the page shows them.
const menus = (tab) => tab.evaluate(() => [...document.querySelectorAll('[role=menu]')]
  .map((m) => [...m.querySelectorAll('[role=menuitem]')].map((i) => i.textContent)));

const entryCentre = (tab, menu, entry) => tab.evaluate((menu, entry) => {
  const r = document.querySelectorAll('[role=menu]')[menu]
    .querySelectorAll('[role=menuitem]')[entry].getBoundingClientRect();
  return [r.left + r.width / 2, r.top + r.height / 2];
}, menu, entry);

async function click(tab, [x, y], button = 'left') {
  await tab.page.mouse.move(x, y);
  await tab.page.mouse.down({button});
  await tab.page.mouse.up({button});
}

async function openMenu(tab, at = [30, 30]) {
  const [left, top] = await canvasBox(tab);
  await tab.evaluate(() => window.addEventListener('contextmenu', (e) => {
    window.__browserMenu = !e.defaultPrevented;
  }, {once: true}));
  await click(tab, [left + at[0], top + at[1]], 'right');
  assert.equal(await tab.evaluate(() => window.__browserMenu), false,
               "the browser's own menu opens too");
  assert.deepEqual(await menus(tab), [MENU.map(([label]) => label)], 'menu on the right button');
  const box = await tab.evaluate(() => {
    const r = document.querySelector('[role=menu]').getBoundingClientRect();
    return [r.left, r.top];
  });
  assert.ok(Math.abs(box[0] - left - at[0]) <= 1 && Math.abs(box[1] - top - at[1]) <= 1,
            `the menu opens at the pointer, not at ${box}`);
}

// Opens the menu and chooses an entry by position, [i] or [i, j] for a submenu entry.
async function choose(tab, route) {
  await openMenu(tab);
  for (const [depth, index] of route.entries()) {
    await tab.page.mouse.move(...await entryCentre(tab, depth, index));
  }
  if (route.length === 2) {
    assert.deepEqual((await menus(tab)).slice(1), [MENU[route[0]][1]],
                     `submenu of ${MENU[route[0]][0]}`);
  }
  await click(tab, await entryCentre(tab, route.length - 1, route.at(-1)));
  assert.deepEqual(await menus(tab), [], 'the menus close once an entry is chosen');
}

// Drags the bottom-right corner of the canvas's frame until the canvas is width x height.
async function resize(tab, width, height) {
  const [left, top, w, h] = await canvasBox(tab);
  const corner = [left + w - 3, top + h - 3];
  const mouse = tab.page.mouse;
  await mouse.move(...corner);
  await mouse.down();
  await mouse.move(corner[0] + width - w, corner[1] + height - h, {steps: 8});
  await mouse.up();
  await tab.waitFor(`(c => c.width == ${width} && c.height == ${height})` +
                    `(document.getElementById('canvas'))`, 20,
                    `a ${width}x${height} canvas after dragging the corner`);
}

// The bits of the projection matrix the page's GL holds, column-major.
const canvasStore = (tab) => tab.evaluate(
  () => (c => [c.width, c.height])(document.getElementById('canvas')));

// Which of the page's messages and frame are shown, and the text shown.
const shownParts = (tab) => tab.evaluate(() => ({
  shown: ['frame', 'no-webgl', 'from-disk'].filter((id) => {
    const element = document.getElementById(id);
    return element && element.getClientRects().length > 0;
  }),
  text: document.body.innerText,
}));

// Lets the page run for a number of the browser's animation frames (not counted as the page's).
const runFrames = (tab, count) => tab.evaluate((count) => new Promise((done) => {
  const step = () => (--count > 0 ? window.__probe.raf(step) : done());
  window.__probe.raf(step);
}), count);

const projection = (tab) => tab.evaluate(
  () => Array.from(new Uint32Array(Float32Array.from(GLImmediate.matrix[1]).buffer)));

// The projection matrix that the desktop build's reshapeView leaves in the system's GL for each
// size, as bits (tests/web/desktop_projection.cpp, built here with CMake).
function desktopProjections(sizes) {
  const build = fs.mkdtempSync(path.join(os.tmpdir(), 'whirlet-desktop-'));
  try {
    for (const step of [['-S', HERE, '-B', build, '-DCMAKE_BUILD_TYPE=Release',
                         '-DWHIRLET_WERROR=ON'],
                        ['--build', build, '--target', 'desktop_projection']]) {
      execFileSync('cmake', step, {stdio: ['ignore', 'ignore', 'inherit']});
    }
    const out = execFileSync(path.join(build, 'desktop_projection'),
                             sizes.map(([w, h]) => `${w}x${h}`), {encoding: 'utf8'});
    return Object.fromEntries(out.trim().split('\n').map((line, i) => [
      sizes[i].join('x'),
      Array.from(new Uint32Array(Float32Array.from(line.split(' ').map(hexFloat)).buffer))]));
  } finally {
    fs.rmSync(build, {recursive: true, force: true});
  }
}

// C's %a notation, as printf writes it for a float widened to double.
function hexFloat(text) {
  const match = /^(-?)0x([01])\.?([0-9a-f]*)p([+-]\d+)$/.exec(text);
  assert.ok(match, `not a hexadecimal float: ${text}`);
  const [, sign, lead, fraction, exponent] = match;
  const mantissa = Number(lead) + (fraction ? parseInt(fraction, 16) / 16 ** fraction.length : 0);
  return (sign ? -1 : 1) * mantissa * 2 ** Number(exponent);
}

// ---------------------------------------------------------------------------------------------
// The tests, in each engine: one browser and one tab per engine, the page loaded afresh for
// each test; after each, the console holds nothing but the toolchain's own lines.

const SIZES = [[320, 320], [640, 320], [237, 411]];
const DENSE = [640, 640];  // 320x320 CSS pixels at a density of 2
let server, desktop;
before(async () => {
  for (const name of ['index.html', 'whirlet.js', 'whirlet.wasm']) {
    assert.ok(fs.existsSync(path.join(SITE, name)), `${name} not built in ${SITE}`);
  }
  server = await serve(SITE);
  desktop = desktopProjections([...SIZES, DENSE]);
});
after(() => server.close());

for (const engine of ENGINES) {
  describe(engine, () => {
    let browser, tab;
    before(async () => {
      browser = await launch(engine);
      tab = await Tab.open(browser);
    });
    after(() => browser.close());

    const load = () => {
      tab.said = [];
      return tab.load(server.url);
    };
    afterEach(() => {
      const said = tab.said.filter(([, text]) => !TOOLCHAIN_LINES.includes(text) &&
                                                 !PROBE_NOISE.test(text));
      assert.deepEqual(said, [], 'the page said more than the toolchain lines');
    });

    test('title, one line, 320x320 canvas; the first frame', async () => {
      await load();
      assert.equal(await tab.evaluate(() => document.title), TITLE);
      const shown = await tab.evaluate(() => [...document.body.querySelectorAll('*')]
        .filter((e) => e.getClientRects().length).map((e) => e.tagName));
      assert.deepEqual(shown, ['P', 'DIV', 'CANVAS'], 'elements shown on the page');
      const text = await tab.evaluate(() => document.body.innerText.trim());
      assert.ok(!text.includes('\n') && text.length > 0 && text.length <= 100,
                `the page's text: ${text}`);
      assert.deepEqual((await canvasBox(tab)).slice(2), [320, 320]);
      assert.deepEqual(await canvasStore(tab), [320, 320]);

      const first = await tab.firstFrame();
      assert.equal(first.number, 1);
      assertShows(first, 'White');
      assert.ok(first.count > 2000, `the unturned triangle is nearly whole: ${first}`);
    });

    test('turns one degree per shown frame: 45, 90 (edge-on), 150 degrees', async () => {
      await load();
      const seen = [];
      for (const angle of [45, 90, 150]) {
        const frame = await frameAt(tab, angle);
        assertShows(frame, 'White');
        seen.push(frame.count);
      }
      assert.ok(seen[1] < 40 && 40 < Math.min(seen[0], seen[2]),
                `lit pixels at 45, 90, 150 degrees: ${seen}`);
    });

    test('the menu: entries in order, the submenu on hover, each colour', async () => {
      await load();
      for (const route of [[1, 0], [0], [1, 1], [1, 2]]) {
        await choose(tab, route);
        const label = route.length === 1 ? MENU[route[0]][0] : MENU[route[0]][1][route[1]];
        assertShows(await tab.frame(), label);
      }

      // The other way of choosing: press the right button, move onto an entry, release there.
      const [left, top] = await canvasBox(tab);
      const mouse = tab.page.mouse;
      await mouse.move(left + 30, top + 30);
      await mouse.down({button: 'right'});
      await mouse.move(...await entryCentre(tab, 0, 0));
      await mouse.up({button: 'right'});
      assert.deepEqual(await menus(tab), []);
      assertShows(await tab.frame(), 'White');
    });

    test('other buttons, the wheel and keys change nothing; a press outside closes the menu',
         async () => {
      await load();
      await choose(tab, [1, 0]);
      const [left, top, w, h] = await canvasBox(tab);
      const centre = [left + w / 2, top + h / 2];
      const inputs = [['left click', () => click(tab, centre, 'left')],
                      ['middle click', () => click(tab, centre, 'middle')],
                      ['wheel', () => tab.page.mouse.wheel({deltaY: 120})]];
      for (const key of ['w', '1', '4', ' ', 'Enter', 'Escape', 'ArrowUp', 'F1']) {
        inputs.push([`key ${key}`, () => tab.page.keyboard.press(key)]);
      }
      for (const [name, give] of inputs) {
        await give();
        assert.deepEqual(await menus(tab), [], `a menu after the ${name}`);
      }
      assertShows(await tab.frame(), 'Red');

      await openMenu(tab);
      await click(tab, [left + w - 20, top + h - 20]);
      assert.deepEqual(await menus(tab), []);
      assertShows(await tab.frame(), 'Red');
      assert.deepEqual((await canvasBox(tab)).slice(2), [320, 320]);
    });

    test("resizing keeps the proportions and the desktop's projection, bit for bit",
         async () => {
      await load();
      for (const [[width, height], angle] of SIZES.map((size, i) => [size, [20, 60, 130][i]])) {
        if (width !== 320 || height !== 320) await resize(tab, width, height);
        assert.deepEqual((await canvasBox(tab)).slice(2), [width, height]);
        assert.deepEqual(await projection(tab), desktop[`${width}x${height}`],
                         `at ${width}x${height}, the page's projection matrix is not the desktop's`);
        const frame = await frameAt(tab, angle);
        assert.deepEqual([frame.width, frame.height], [width, height]);
        assertShows(frame, 'White');
      }
    });

    test('sharp on a dense screen: the store in device pixels, following the density',
         async () => {
      const page = tab.page;
      try {
        await page.setViewport({width: 800, height: 600, deviceScaleFactor: 2});
        await load();
        assert.deepEqual((await canvasBox(tab)).slice(2), [320, 320]);
        assert.deepEqual(await canvasStore(tab), DENSE);
        assert.deepEqual(await projection(tab), desktop[DENSE.join('x')]);
        assertShows(await tab.firstFrame(), 'White', 24);
        const frame = await frameAt(tab, 30);
        assert.deepEqual([frame.width, frame.height], DENSE);
        assertShows(frame, 'White', 24);
      } finally {
        await page.setViewport({width: 800, height: 600, deviceScaleFactor: 1});
      }
      // Chromium's emulation changes the density without telling the page; Firefox's tells it.
      if (engine === 'firefox') {
        await tab.waitFor("document.getElementById('canvas').width == 320", 20, 'back to 320');
        assert.deepEqual(await projection(tab), desktop['320x320']);
      }
    });

    test('a lost GL context: quiet while lost, then turning again in the chosen colour',
         async () => {
      await load();
      await choose(tab, [1, 2]);
      await tab.evaluate(() => {
        window.__loser = Module.ctx.getExtension('WEBGL_lose_context');
        Module.canvas.addEventListener('webglcontextlost', () => { window.__lost = true; });
        window.__loser.loseContext();
      });
      await tab.waitFor('window.__lost', 20, 'the context lost');
      const lostAt = await tab.frames();
      await runFrames(tab, 10);
      assert.equal(await tab.frames(), lostAt, 'frames drawn into a lost context');
      await tab.evaluate(() => window.__loser.restoreContext());
      await tab.waitFor('!Module.ctx.isContextLost()', 20, 'the context back');
      assertShows(await tab.frame(), 'Green');
      assertShows(await frameAt(tab, 60), 'Green');
    });

    test('a message, and no error, with no WebGL, JavaScript off, or opened from disk',
         async () => {
      const page = tab.page;
      tab.said = [];
      const {identifier} = await page.evaluateOnNewDocument(() => {
        const getContext = HTMLCanvasElement.prototype.getContext;
        HTMLCanvasElement.prototype.getContext = function(type, ...rest) {
          return /webgl/.test(type) ? null : getContext.call(this, type, ...rest);
        };
      });
      try {
        await page.goto(server.url);
        await tab.waitFor("!document.getElementById('no-webgl').hidden", 30, 'the message');
        await runFrames(tab, 10);
      } finally {
        await page.removeScriptToEvaluateOnNewDocument(identifier);
      }
      assert.deepEqual((await shownParts(tab)).shown, ['no-webgl']);
      assert.equal(await tab.frames(), 0, 'the program draws nothing');

      await page.goto(`file://${SITE}/index.html`);
      await tab.waitFor("!document.getElementById('from-disk').hidden", 30, 'the message');
      assert.deepEqual((await shownParts(tab)).shown, ['from-disk']);

      if (engine === 'firefox') return;  // its driver cannot turn JavaScript off
      await page.setJavaScriptEnabled(false);
      try {
        await page.goto(server.url);
        const {shown, text} = await shownParts(tab);
        assert.deepEqual(shown, []);
        assert.match(text, /JavaScript, which is off/);
        assert.doesNotMatch(text, /right-click/);
      } finally {
        await page.setJavaScriptEnabled(true);
      }
    });

    if (engine === 'chromium') {  // Firefox on the desktop has no phone layout to emulate
      test('on a phone: laid out at its width, the canvas within it, the text legible',
           async () => {
        const page = tab.page;
        try {
          await page.setViewport({width: 375, height: 667, deviceScaleFactor: 2,
                                  isMobile: true, hasTouch: true});
          await load();
          const layout = await tab.evaluate(() => ({
            width: window.innerWidth,
            scroll: document.documentElement.scrollWidth,
            font: parseFloat(getComputedStyle(document.getElementById('how')).fontSize),
          }));
          assert.deepEqual(layout, {width: 375, scroll: 375, font: 14});
          const [left, , width] = await canvasBox(tab);
          assert.ok(left >= 0 && left + width <= 375, `the canvas at ${left}, ${width} wide`);
          assert.deepEqual(await canvasStore(tab), [2 * width, 2 * width]);
        } finally {
          await page.setViewport({width: 800, height: 600});
        }
      });
    }
  });
}

