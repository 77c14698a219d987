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
import zlib from 'node:zlib';

import {Frame, launch, serve, Tab} from './browser.mjs';

const HERE = path.dirname(fileURLToPath(import.meta.url));
const AXE = fs.readFileSync(path.join(HERE, 'node_modules/axe-core/axe.min.js'), 'utf8');
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
const frameAt = (tab, angle) => tab.frame(0, angle);

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

// What has the focus: 'frame', a menu entry's label, or another element's id or tag.
const focused = (tab) => tab.evaluate(() => {
  const e = document.activeElement;
  return e.getAttribute('role') === 'menuitem' ? e.textContent : e.id || e.tagName;
});

// The open menus' accessible names and the submenu entry's aria-expanded, with the focus.
const menuState = (tab) => tab.evaluate(() => {
  const names = [...document.querySelectorAll('[role=menu]')].map((m) =>
    m.getAttribute('aria-label') ||
    document.getElementById(m.getAttribute('aria-labelledby')).textContent);
  const opener = document.querySelector('[aria-haspopup=menu][role=menuitem]');
  return {names, expanded: opener && opener.getAttribute('aria-expanded')};
});

async function shiftF10(tab) {
  await tab.page.keyboard.down('Shift');
  await tab.page.keyboard.press('F10');
  await tab.page.keyboard.up('Shift');
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
      sizes[i].join('x'), line.split(' ').map((word) => parseInt(word, 16))]));
  } finally {
    fs.rmSync(build, {recursive: true, force: true});
  }
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

test('the page weighs at most 45,000 bytes gzipped, all it loads', () => {
  const loaded = ['index.html', 'page.css', 'page.js', 'icon.png', 'whirlet.js', 'whirlet.wasm'];
  const gzipped = loaded.reduce((sum, name) => sum + zlib.gzipSync(
    fs.readFileSync(path.join(SITE, name)), {level: 9}).length, 0);
  assert.ok(gzipped <= 45000, `${gzipped} bytes gzipped`);
});

for (const engine of ENGINES) {
  describe(engine, () => {
    let browser, tab;
    before(async () => {
      browser = await launch(engine);
      tab = await Tab.open(browser);
    });
    after(() => browser.close());

    // Away first: what the last page says as it goes (a reload by the driver cut short, say)
    // is not this page's.
    const load = async () => {
      await tab.page.goto('about:blank');
      tab.said = [];
      await tab.load(server.url);
    };
    afterEach(async () => {
      assert.deepEqual(await tab.evaluate(() => window.__probe.violations), [],
                       'Content-Security-Policy violations');
      const said = tab.said.filter(([, text]) => !TOOLCHAIN_LINES.includes(text) &&
                                                 !PROBE_NOISE.test(text));
      assert.deepEqual(said, [], 'the page said more than the toolchain lines');
    });

    test('the page: title, what works here, the 320x320 window; the first frame', async () => {
      await load();
      assert.equal(await tab.evaluate(() => document.title), TITLE);
      const shown = await tab.evaluate(() => [...document.body.querySelectorAll('*')]
        .filter((e) => e.getClientRects().length).map((e) => e.id || e.tagName));
      assert.deepEqual(shown, ['MAIN', 'H1', 'how', 'frame', 'canvas', 'corner', 'pause']);
      const how = await tab.evaluate(() => document.getElementById('how').textContent);
      for (const words of [/Right-click/, /Shift\+F10/, /corner/, /Pause stops/]) {
        assert.match(how, words);
      }
      assert.doesNotMatch(how, /touch/i);
      assert.deepEqual((await canvasBox(tab)).slice(2), [320, 320]);
      assert.deepEqual(await canvasStore(tab), [320, 320]);

      const first = await tab.firstFrame();
      assert.equal(first.number, 1);
      assertShows(first, 'White');
      assert.ok(first.count > 2000, `the unturned triangle is nearly whole: ${first}`);
    });

    test('the Content-Security-Policy reports what breaks it: inline script, eval', async () => {
      await load();
      const ran = await tab.evaluate(() => {
        const script = document.createElement('script');
        script.textContent = 'window.__ran = "inline script"';
        document.body.appendChild(script);
        try {
          setTimeout('window.__ran = "eval"');
        } catch (error) { /* refused at once by some engines */ }
        return new Promise((done) => setTimeout(() => done(window.__ran || null), 100));
      });
      const reported = await tab.evaluate(() => window.__probe.violations.splice(0));
      assert.equal(ran, null);
      assert.deepEqual(reported.map((v) => v.split(' ')[1]).sort(), ['eval', 'inline'],
                       `violations reported: ${reported}`);
      tab.said = tab.said.filter(([, text]) => !/Content.Security.Policy|CSP/i.test(text));
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

    test('keyboard: the focused frame, Shift+F10 and the menu key, arrows, Enter, Space, Escape',
         async () => {
      await load();
      const keys = tab.page.keyboard;
      await tab.evaluate(() => {
        window.__browserMenus = [];
        window.addEventListener('contextmenu', (e) => __browserMenus.push(!e.defaultPrevented));
      });
      await keys.press('Tab');
      assert.equal(await focused(tab), 'frame');
      assert.deepEqual(await tab.evaluate(() => (s => [s.outlineStyle, s.outlineWidth])(
        getComputedStyle(document.activeElement))), ['solid', '3px'], 'a visible focus ring');
      await shiftF10(tab);
      assert.deepEqual(await menus(tab), [MENU.map(([label]) => label)]);
      assert.equal(await focused(tab), 'White');
      // key, then: the focus, the open menus' names, "RGB Menu"'s aria-expanded
      for (const [key, focus, names, expanded] of [
        ['ArrowDown', 'RGB Menu', ['Menu'], 'false'],
        ['ArrowRight', 'Red', ['Menu', 'RGB Menu'], 'true'],
        ['ArrowUp', 'Green', ['Menu', 'RGB Menu'], 'true'],
        ['ArrowLeft', 'RGB Menu', ['Menu'], 'false'],
        ['Enter', 'Red', ['Menu', 'RGB Menu'], 'true'],
        ['Escape', 'RGB Menu', ['Menu'], 'false'],
        ['ArrowDown', 'White', ['Menu'], 'false'],
        ['Escape', 'frame', [], null]]) {
        await keys.press(key);
        assert.deepEqual([await focused(tab), await menuState(tab)], [focus, {names, expanded}],
                         `after ${key}`);
      }
      assertShows(await tab.frame(), 'White');

      // The menu key, and Space, choose a submenu's entry; Enter a plain one.
      if (engine === 'chromium') await keys.press('ContextMenu');  // no such key over BiDi
      else await shiftF10(tab);
      for (const key of ['ArrowDown', 'ArrowRight', 'ArrowDown', ' ']) await keys.press(key);
      assert.deepEqual([await focused(tab), await menus(tab)], ['frame', []]);
      assertShows(await tab.frame(), 'Blue');
      await shiftF10(tab);
      await keys.press('Enter');
      assert.deepEqual([await focused(tab), await menus(tab)], ['frame', []]);
      assertShows(await tab.frame(), 'White');
      assert.ok((await tab.evaluate(() => __browserMenus)).every((opened) => !opened),
                "the browser's own menu opens too");
    });

    test('touch: a long press opens the menu at the finger, taps choose, a tap outside ' +
         'closes, the corner follows a finger', async () => {
      const page = tab.page;
      const touch = page.touchscreen;
      await tab.setViewport({width: 800, height: 600, hasTouch: true});
      try {
        await load();
        const [left, top] = await canvasBox(tab);
        const tap = async ([x, y]) => {
          await touch.touchStart(x, y);
          await touch.touchEnd();
        };
        // A long press, then the browser's contextmenu event as some browsers send it or none.
        const hold = async (x, y, contextmenu) => {
          await touch.touchStart(x, y);
          if (contextmenu) {
            assert.equal(await tab.evaluate((x, y) => Module.canvas.dispatchEvent(
              new PointerEvent('contextmenu', {bubbles: true, cancelable: true, clientX: x,
                                               clientY: y, pointerType: 'touch'})), x, y),
                         false, "the browser's own menu opens too");
          }
          await tab.waitFor("document.querySelector('[role=menu]')", 20, 'a menu');
          await runFrames(tab, 40);  // past the half second, still held
          await touch.touchEnd();
          assert.deepEqual(await menus(tab), [MENU.map(([label]) => label)]);
          const box = await tab.evaluate(() => {
            const r = document.querySelector('[role=menu]').getBoundingClientRect();
            return [r.left, r.top];
          });
          assert.ok(Math.abs(box[0] - x) <= 1 && Math.abs(box[1] - y) <= 1,
                    `the menu opens at the finger, not at ${box}`);
        };
        for (const [contextmenu, entry, colour] of [[false, 2, 'Green'], [true, 1, 'Blue']]) {
          await hold(left + 40, top + 50, contextmenu);
          await tap(await entryCentre(tab, 0, 1));
          assert.deepEqual((await menus(tab)).slice(1), [MENU[1][1]], 'the submenu on a tap');
          await tap(await entryCentre(tab, 1, entry));
          assert.deepEqual(await menus(tab), []);
          assertShows(await tab.frame(), colour);
        }
        await hold(left + 40, top + 50, false);
        await tap([left + 250, top + 250]);
        assert.deepEqual(await menus(tab), []);
        assertShows(await tab.frame(), 'Blue');

        const corner = [left + 320 - 6, top + 320 - 6];
        await touch.touchStart(...corner);
        for (let step = 1; step <= 8; step++) {
          await touch.touchMove(corner[0] + 10 * step, corner[1] - 5 * step);
        }
        await touch.touchEnd();
        await tab.waitFor("(c => c.width == 400 && c.height == 280)(Module.canvas)", 20,
                          'a 400x280 canvas after dragging the corner');
        assertShows(await tab.frame(), 'Blue');
      } finally {
        await tab.setViewport({width: 800, height: 600});
      }
    });

    test('axe-core: no violation at all, menus closed, open, and with the submenu open',
         async () => {
      await load();
      await tab.evaluate(AXE);
      for (const [state, keys] of [['the menus closed', []], ['the menu open', ['Tab', 'F10']],
                                   ['the submenu open', ['ArrowDown', 'ArrowRight']]]) {
        for (const key of keys) {
          if (key === 'F10') await shiftF10(tab);
          else await tab.page.keyboard.press(key);
        }
        const found = await tab.evaluate(() => axe.run(document).then((result) =>
          result.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(', ')}`)));
        assert.deepEqual(found, [], `with ${state}`);
      }
      assert.equal((await menus(tab)).length, 2);
    });

    test('Pause and Play by keyboard; reduced motion starts paused on the first frame',
         async () => {
      const page = tab.page;
      const keys = page.keyboard;
      const button = () => tab.evaluate(() => document.getElementById('pause').textContent);
      if (engine === 'chromium') {  // Firefox's driver cannot ask for less motion
        await page.emulateMediaFeatures([{name: 'prefers-reduced-motion', value: 'reduce'}]);
        try {
          await load();
        } finally {
          await page.emulateMediaFeatures([]);
        }
        await runFrames(tab, 10);
        assert.equal(await tab.frames(), 1, 'frames drawn while paused');
        assert.match(await tab.evaluate(() => document.getElementById('how').textContent),
                     /paused.*less motion.*Play/);
        await keys.press('Tab');
        await keys.press('Tab');
        assert.deepEqual([await focused(tab), await button()], ['pause', 'Play']);
        await keys.press('Enter');
        assertShows(await frameAt(tab, 20), 'White');
      } else {
        await load();
        await keys.press('Tab');
        await keys.press('Tab');
      }
      assert.deepEqual([await focused(tab), await button()], ['pause', 'Pause']);
      await keys.press(' ');
      assert.equal(await button(), 'Play');
      const at = await tab.frames();
      await runFrames(tab, 10);
      assert.equal(await tab.frames(), at, 'frames drawn once paused');
      // A colour chosen while paused shows at once, in one frame, as after a desktop's menu.
      const shown = tab.evaluate((at) => window.__probe.grab(at + 1, 30), at);
      await choose(tab, [1, 0]);
      assertShows(new Frame(await shown), 'Red');
      await runFrames(tab, 10);
      assert.equal(await tab.frames(), at + 1, 'frames drawn once paused');
      await page.focus('#pause');
      await keys.press('Enter');
      assertShows(await tab.frame(), 'Red');
    });

    test('sharp on a dense screen: the store in device pixels, following the density',
         async () => {
      const page = tab.page;
      try {
        await tab.setViewport({width: 800, height: 600, deviceScaleFactor: 2});
        await load();
        assert.deepEqual((await canvasBox(tab)).slice(2), [320, 320]);
        assert.deepEqual(await canvasStore(tab), DENSE);
        assert.deepEqual(await projection(tab), desktop[DENSE.join('x')]);
        assertShows(await tab.firstFrame(), 'White', 24);
        const frame = await frameAt(tab, 30);
        assert.deepEqual([frame.width, frame.height], DENSE);
        assertShows(frame, 'White', 24);
      } finally {
        await tab.setViewport({width: 800, height: 600, deviceScaleFactor: 1});
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
          await tab.setViewport({width: 375, height: 667, deviceScaleFactor: 2,
                                  isMobile: true, hasTouch: true});
          await load();
          const layout = await tab.evaluate(() => ({
            width: window.innerWidth,
            scroll: document.documentElement.scrollWidth,
            font: parseFloat(getComputedStyle(document.getElementById('how')).fontSize),
          }));
          assert.deepEqual(layout, {width: 375, scroll: 375, font: 14});
          const how = await tab.evaluate(() => document.getElementById('how').textContent);
          assert.match(how, /Touch and hold the picture for colours/);
          assert.doesNotMatch(how, /Right-click|Shift\+F10/);
          const [left, , width] = await canvasBox(tab);
          assert.ok(left >= 0 && left + width <= 375, `the canvas at ${left}, ${width} wide`);
          assert.deepEqual(await canvasStore(tab), [2 * width, 2 * width]);
        } finally {
          await tab.setViewport({width: 800, height: 600});
        }
      });
    }
  });
}

