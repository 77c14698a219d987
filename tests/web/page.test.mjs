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
// The menus as the desktop shows them, each as its accessible name then its entries.
const MENU = ['Menu', 'White', 'RGB Menu'];
const RGB = ['RGB Menu', 'Red', 'Blue', 'Green'];
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

// What a frame must show: the camera of tests/e2e/geometry.py

const VERTICES = [[-0.5, -0.5, 0], [0.5, 0, 0], [0, 0.5, 0]];

// Window pixel (x right, y down) of a model vertex turned by angle degrees about +y, seen from 5
// away with 45 degrees of view vertically.
function project([x, y, z], angle, width, height) {
  const a = angle * Math.PI / 180;
  const xr = x * Math.cos(a) + z * Math.sin(a), zr = -x * Math.sin(a) + z * Math.cos(a);
  const scale = (5 - zr) * Math.tan(22.5 * Math.PI / 180);
  return [(1 + xr / (scale * width / height)) * width / 2, (1 - y / scale) * height / 2];
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
    if (xs.length !== 2) continue;  // the row misses the triangle
    const [first, last] = [Math.ceil(xs[0] - 0.5), Math.floor(xs[1] - 0.5)];
    if (first <= last) spans[y] = [first, last];
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
    const overlap = Math.max(0, Math.min(last, gotLast) - Math.max(first, gotFirst) + 1);
    wrong += last - first + 1 + count - 2 * (whole ? overlap : 0);
    area += last - first + 1;
  }
  assert.ok(wrong <= tolerance, `${frame}: ${wrong} pixels differ from the triangle turned by ` +
                                `${angle} degrees (${area} pixels)`);
  if (area > tolerance) {
    assert.deepEqual(Object.keys(frame.colours), [COLOURS[colour]], `${frame}: not ${colour}`);
  }
}

// Using the page

// The canvas: where it is, its size on the page and its backing store's.
const canvas = (tab) => tab.evaluate(() => {
  const c = document.getElementById('canvas'), r = c.getBoundingClientRect();
  return {left: r.left, top: r.top, size: [r.width, r.height], store: [c.width, c.height]};
});

// The elements shown, by id or else tag.
const shown = (tab) => tab.evaluate(() => [...document.body.querySelectorAll('*')]
  .filter((e) => e.getClientRects().length).map((e) => e.id || e.tagName));

// What the page shows of its menus and buttons: the open menus, outermost first, each as its
// accessible name then its entries' labels, and where the first is; the focus: 'frame', a menu
// entry's label, or another element's id or tag, and its outline; the aria-expanded of "RGB Menu"
// (null with no menu open); the Pause/Play button's label; the line saying what works here; and
// whether the menus lie inside the page, none over another.
const state = (tab) => tab.evaluate(() => {
  const name = (m) => m.getAttribute('aria-label') ||
    document.getElementById(m.getAttribute('aria-labelledby')).textContent;
  const menus = [...document.querySelectorAll('[role=menu]')];
  const focus = document.activeElement;
  const opener = document.querySelector('[aria-haspopup=menu][role=menuitem]');
  return {
    menus: menus.map((m) =>
      [name(m), ...[...m.querySelectorAll('[role=menuitem]')].map((i) => i.textContent)]),
    at: menus.length ? (r => [r.left, r.top])(menus[0].getBoundingClientRect()) : null,
    clear: menus.map((m) => m.getBoundingClientRect()).every((r, i, all) =>
      r.left >= 0 && r.right <= innerWidth && r.bottom <= innerHeight &&
      all.slice(0, i).every((o) => r.left >= o.right - 1 || r.right <= o.left + 1)),
    focus: focus.getAttribute('role') === 'menuitem' ? focus.textContent
                                                      : focus.id || focus.tagName,
    ring: ((s) => s.outlineStyle + ' ' + s.outlineWidth)(getComputedStyle(focus)),
    expanded: opener && opener.getAttribute('aria-expanded'),
    button: document.getElementById('pause').textContent,
    how: document.getElementById('how').textContent,
  };
});

// Does an action, keys to press ('Shift+F10 Enter') or a function, then checks what is expected
// of the state above and, given a colour, the next frame.
async function step(tab, action, {colour, ...want}) {
  await (typeof action === 'string' ? press(tab, action) : action());
  const got = await state(tab);
  for (const key in want) assert.deepEqual(got[key], want[key], `${key} after ${action}`);
  if (colour) assertShows(await tab.frame(), colour);
}

// The menu alone is open, at (x, y).
async function assertMenuAt(tab, x, y) {
  const {menus, at} = await state(tab);
  assert.deepEqual(menus, [MENU]);
  assert.ok(Math.abs(at[0] - x) <= 1 && Math.abs(at[1] - y) <= 1,
            `the menu opens at ${at}, not at ${[x, y]}`);
}

const entryCentre = (tab, label) => tab.evaluate((label) => {
  const r = [...document.querySelectorAll('[role=menuitem]')]
    .find((e) => e.textContent === label).getBoundingClientRect();
  return [r.left + r.width / 2, r.top + r.height / 2];
}, label);

// Presses keys in turn, chords joined by '+': 'Shift+F10 ArrowDown Space'.
async function press(tab, keys) {
  for (const chord of keys.split(' ')) {
    const [key, ...held] = chord.split('+').reverse();
    for (const modifier of held) await tab.page.keyboard.down(modifier);
    await tab.page.keyboard.press(key === 'Space' ? ' ' : key);  // BiDi knows no 'Space'
    for (const modifier of held) await tab.page.keyboard.up(modifier);
  }
}

async function openMenu(tab) {
  const {left, top} = await canvas(tab);
  await tab.page.mouse.click(left + 30, top + 30, {button: 'right'});
  await assertMenuAt(tab, left + 30, top + 30);
}

// Opens the menu and chooses an entry by the labels on its way: 'RGB Menu', 'Red'.
async function choose(tab, ...labels) {
  const mouse = tab.page.mouse;
  await openMenu(tab);
  for (const label of labels) await mouse.move(...await entryCentre(tab, label));
  if (labels.length === 2) {
    assert.deepEqual((await state(tab)).menus, [MENU, RGB]);
    // Beside the menu, its first entry level with the entry that opened it.
    const offsets = await tab.evaluate(() => {
      const [menu, submenu] = document.querySelectorAll('[role=menu]');
      return [submenu.getBoundingClientRect().left - menu.getBoundingClientRect().right,
              submenu.firstChild.getBoundingClientRect().top -
              menu.querySelector('[aria-haspopup]').getBoundingClientRect().top];
    });
    assert.ok(offsets.every((d) => Math.abs(d) <= 1), `the submenu is off by ${offsets}`);
  }
  await step(tab, async () => mouse.click(...await entryCentre(tab, labels.at(-1))),
             {menus: []});
}

// Resizes the canvas's frame by its bottom-right corner until the canvas is width x height: by
// 'mouse' or 'finger', dragged; by 'keys', focused and its arrows pressed (10 pixels, Shift 1).
async function resize(tab, width, height, by = 'mouse') {
  const {left, top, size: [w, h]} = await canvas(tab);
  if (by === 'keys') {
    const arrows = (d, key) => [...Array(Math.trunc(Math.abs(d) / 10)).fill(key),
                                ...Array(Math.abs(d) % 10).fill('Shift+' + key)];
    await tab.page.focus('#corner');
    await press(tab, [...arrows(width - w, width < w ? 'ArrowLeft' : 'ArrowRight'),
                      ...arrows(height - h, height < h ? 'ArrowUp' : 'ArrowDown')].join(' '));
    return tab.waitFor(`(c => c.width == ${width} && c.height == ${height})(Module.canvas)`, 20,
                       `a ${width}x${height} canvas after the corner's arrow keys`);
  }
  const finger = by === 'finger';
  const [x, y] = [left + w - 3, top + h - 3];
  const {mouse, touchscreen} = tab.page;
  await (finger ? touchscreen.touchStart(x, y) : mouse.move(x, y).then(() => mouse.down()));
  for (let i = 1; i <= 8; i++) {
    const to = [x + (width - w) * i / 8, y + (height - h) * i / 8];
    await (finger ? touchscreen.touchMove(...to) : mouse.move(...to));
  }
  await (finger ? touchscreen.touchEnd() : mouse.up());
  await tab.waitFor(`(c => c.width == ${width} && c.height == ${height})(Module.canvas)`, 20,
                    `a ${width}x${height} canvas after dragging the corner`);
}

// Lets the page run for a number of the browser's animation frames (not counted as the page's).
const runFrames = (tab, count) => tab.evaluate((count) => new Promise((done) => {
  const next = () => (--count > 0 ? window.__probe.raf(next) : done());
  window.__probe.raf(next);
}), count);

// Runs the browser for some frames and checks the page drew none meanwhile: its frame count.
async function assertStill(tab, why) {
  const at = await tab.evaluate('__probe.frames');
  await runFrames(tab, 10);
  assert.equal(await tab.evaluate('__probe.frames'), at, `frames drawn ${why}`);
  return at;
}

// The projection matrix the page's GL holds, column-major, in 32-bit floats: deepEqual tells -0
// from 0, so equal matrices have equal bits.
const projection = (tab) => tab.evaluate(
  () => Array.from(Float32Array.from(GLImmediate.matrix[1])));

// The projection matrix that the desktop build's reshapeView leaves in the system's GL for each
// size (tests/web/desktop_projection.cpp, built here with CMake into build/web-desktop).
function desktopProjections(sizes) {
  const build = path.join(HERE, '../../build/web-desktop');
  const configure = ['-S', HERE, '-B', build, '-DCMAKE_BUILD_TYPE=Release', '-DWHIRLET_WERROR=ON'];
  for (const args of [configure, ['--build', build, '--target', 'desktop_projection']]) {
    execFileSync('cmake', args, {stdio: ['ignore', 'ignore', 'inherit']});
  }
  const out = execFileSync(path.join(build, 'desktop_projection'),
                           sizes.map(([w, h]) => `${w}x${h}`), {encoding: 'utf8'});
  return Object.fromEntries(out.trim().split('\n').map((line, i) => [
    sizes[i].join('x'), line.split(' ').map(Math.fround)]));
}

// The tests, in each engine: one browser and one tab per engine, the page loaded afresh for
// each test; after each, the console holds nothing but the toolchain's own lines, no policy
// violation was reported and the browser's own menu never opened.

const SIZES = [[320, 320], [640, 320], [237, 411]];
const DENSE = [640, 640];  // 320x320 CSS pixels at a density of 2
const DESKTOP = {width: 800, height: 600};
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

    const load = (viewport = DESKTOP) => tab.load(server.url, viewport);
    afterEach(async () => {
      assert.deepEqual(await tab.evaluate(() => [__probe.violations, __probe.browserMenus]),
                       [[], 0], "Content-Security-Policy violations, the browser's own menus");
      const said = tab.said.filter(([, text]) => !TOOLCHAIN_LINES.includes(text) &&
                                                 !PROBE_NOISE.test(text));
      assert.deepEqual(said, [], 'the page said more than the toolchain lines');
    });

    test('the page: title, what works here, the 320x320 window; the first frame, then one ' +
         'degree per shown frame: 45, 90 (edge-on), 150', async () => {
      const first = await load();
      assert.equal(await tab.evaluate(() => document.title), TITLE);
      assert.deepEqual(await shown(tab), ['MAIN', 'H1', 'how', 'frame', 'canvas', 'corner',
                                          'pause']);
      const {how} = await state(tab);
      for (const words of [/Right-click/, /Shift\+F10/, /corner/, /Pause stops/,
                           /Tab to that corner and press the arrow keys/]) {
        assert.match(how, words);
      }
      assert.doesNotMatch(how, /touch/i);
      const {size, store} = await canvas(tab);
      assert.deepEqual([size, store], [[320, 320], [320, 320]]);

      assert.equal(first.number, 1);
      assertShows(first, 'White');
      assert.ok(first.count > 2000, `the unturned triangle is nearly whole: ${first}`);
      const seen = [];
      for (const angle of [45, 90, 150]) {
        const frame = await tab.frame(angle);
        assertShows(frame, 'White');
        seen.push(frame.count);
      }
      assert.ok(seen[1] < 40 && 40 < Math.min(seen[0], seen[2]),
                `lit pixels at 45, 90, 150 degrees: ${seen}`);
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

    test('the menu: entries in order, the submenu on hover, each colour, press-move-release; ' +
         'other buttons, the wheel and keys change nothing; a press outside closes it',
         async () => {
      await load();
      for (const labels of [['RGB Menu', 'Red'], ['White'], ['RGB Menu', 'Blue'],
                            ['RGB Menu', 'Green']]) {
        await choose(tab, ...labels);
        assertShows(await tab.frame(), labels.at(-1));
      }
      // The other way of choosing: press the right button, move onto an entry, release there.
      const {left, top, size: [w, h]} = await canvas(tab);
      const mouse = tab.page.mouse;
      await mouse.move(left + 30, top + 30);
      await mouse.down({button: 'right'});
      await mouse.move(...await entryCentre(tab, 'White'));
      await step(tab, () => mouse.up({button: 'right'}), {menus: [], colour: 'White'});

      await choose(tab, 'RGB Menu', 'Red');
      const centre = [left + w / 2, top + h / 2];
      for (const input of [() => mouse.click(...centre), () => mouse.wheel({deltaY: 120}),
                           () => mouse.click(...centre, {button: 'middle'}),
                           ...'w 1 4 Space Enter Escape ArrowUp F1'.split(' ')]) {
        await step(tab, input, {menus: []});
      }
      assertShows(await tab.frame(), 'Red');
      await openMenu(tab);
      await step(tab, 'ArrowUp', {focus: 'RGB Menu'});  // no entry focused yet: the last one
      await step(tab, () => mouse.click(left + w - 20, top + h - 20), {menus: [], colour: 'Red'});
      assert.deepEqual((await canvas(tab)).size, [320, 320]);
    });

    test("resizing, by mouse and by keys, keeps the proportions and the desktop's projection, " +
         'bit for bit', async () => {
      await load();
      for (const [[width, height], angle, by] of
           SIZES.map((size, i) => [size, ...[[20], [60, 'mouse'], [130, 'keys']][i]])) {
        if (by) await resize(tab, width, height, by);
        assert.deepEqual((await canvas(tab)).size, [width, height]);
        assert.deepEqual(await projection(tab), desktop[`${width}x${height}`],
                         `at ${width}x${height}, the projection matrix is not the desktop's`);
        const frame = await tab.frame(angle);
        assert.deepEqual([frame.width, frame.height], [width, height]);
        assertShows(frame, 'White');
      }
    });

    test('keyboard, and axe-core in every state: the focused frame, Shift+F10 and the menu ' +
         'key, arrows, Enter, Space, Escape', async () => {
      await load();
      await tab.evaluate(AXE);
      const assertAccessible = async (when) => assert.deepEqual(
        await tab.evaluate(() => axe.run(document).then((result) => result.violations.map(
          (v) => `${v.id}: ${v.nodes.map((n) => n.target).join(', ')}`))), [], when);
      await assertAccessible('at first');
      const menuKey = engine === 'chromium' ? 'ContextMenu' : 'Shift+F10';  // none over BiDi
      const closed = (colour) => ({menus: [], focus: 'frame', ring: 'solid 3px', expanded: null,
                                   colour});
      const menu = (focus) => ({menus: [MENU], focus, expanded: 'false'});
      const submenu = (focus) => ({menus: [MENU, RGB], focus, expanded: 'true'});
      // What a screen reader's "show menu" sends to the focused frame: no key before it.
      const showMenu = () => tab.evaluate(() => document.activeElement.dispatchEvent(
        new MouseEvent('contextmenu', {bubbles: true, cancelable: true})));
      for (const [keys, want] of [
        // ArrowRight opens "RGB Menu" and does nothing on a plain entry.
        ['Tab', closed()], ['Shift+F10', menu('White')], ['ArrowRight', menu('White')],
        ['ArrowDown', menu('RGB Menu')], ['ArrowRight', submenu('Red')],
        ['ArrowUp', submenu('Green')], ['ArrowRight', submenu('Green')],
        ['ArrowLeft', menu('RGB Menu')], ['Enter', submenu('Red')],
        ['Escape', menu('RGB Menu')], ['ArrowDown', menu('White')], ['Escape', closed('White')],
        // The menu key, and Space, choose a submenu's entry; Enter a plain one.
        [menuKey, menu('White')], ['ArrowDown ArrowRight ArrowDown', submenu('Blue')],
        ['Space', closed('Blue')], ['Shift+F10', menu('White')], ['Enter', closed('White')],
        [showMenu, menu('White')], ['Escape', closed('White')],
        ['Tab', {focus: 'corner', ring: 'solid 2px'}]]) {
        await step(tab, keys, want);
        await assertAccessible(`after ${keys}`);
      }
    });

    test('touch: a long press opens the menu at the finger, taps choose, a tap outside ' +
         'closes, the corner follows a finger; the submenu kept inside a narrow page',
         async () => {
      await load({width: 480, height: 600, hasTouch: true});
      const touch = tab.page.touchscreen;
      const {left, top} = await canvas(tab);
      const [x, y] = [left + 300, top + 50];  // no room for the submenu on the menu's right
      const tap = (label) => async () =>
        touch.tap(...(label ? await entryCentre(tab, label) : [x - 200, y + 200]));
      // A finger held still past the half second, with the browser's contextmenu event as some
      // browsers send it, or none.
      const hold = (contextmenu) => async () => {
        await touch.touchStart(x, y);
        if (contextmenu) {
          await tab.evaluate((x, y) => Module.canvas.dispatchEvent(new PointerEvent(
            'contextmenu', {bubbles: true, cancelable: true, clientX: x, clientY: y,
                            pointerType: 'touch'})), x, y);
        }
        await tab.waitFor("document.querySelector('[role=menu]')", 20, 'a menu');
        await runFrames(tab, 40);
        await touch.touchEnd();
        await assertMenuAt(tab, x, y);
      };
      for (const [gesture, want] of [
        [hold(false), {}], [tap('RGB Menu'), {menus: [MENU, RGB], clear: true}],
        [tap('Green'), {menus: [], colour: 'Green'}],
        [hold(true), {}], [tap('RGB Menu'), {menus: [MENU, RGB], clear: true}],
        [tap('Blue'), {menus: [], colour: 'Blue'}],
        [hold(false), {}], [tap(null), {menus: [], colour: 'Blue'}]]) {
        await step(tab, gesture, want);
      }
      await resize(tab, 400, 280, 'finger');
      assertShows(await tab.frame(), 'Blue');
    });

    test('Pause and Play by keyboard; reduced motion starts paused on the first frame',
         async () => {
      const page = tab.page;
      if (engine === 'chromium') {  // Firefox's driver cannot ask for less motion
        await page.emulateMediaFeatures([{name: 'prefers-reduced-motion', value: 'reduce'}]);
        try {
          await load();
        } finally {
          await page.emulateMediaFeatures([]);
        }
        assert.equal(await assertStill(tab, 'while paused'), 1);
        assert.match((await state(tab)).how, /paused.*less motion.*Play/);
        await step(tab, 'Tab Tab Tab', {focus: 'pause', button: 'Play'});
        await step(tab, 'Enter', {focus: 'pause', button: 'Pause'});
        assertShows(await tab.frame(20), 'White');
      } else {
        await load();
        await step(tab, 'Tab Tab Tab', {focus: 'pause', button: 'Pause'});
      }
      await step(tab, 'Space', {button: 'Play'});
      const at = await assertStill(tab, 'once paused');
      // A colour chosen while paused shows at once, in one frame, as after a desktop's menu.
      const redrawn = tab.evaluate((at) => window.__probe.grab(at + 1, 30), at);
      await choose(tab, 'RGB Menu', 'Red');
      assertShows(new Frame(await redrawn), 'Red');
      assert.equal(await assertStill(tab, 'once paused'), at + 1);
      await page.focus('#pause');
      await step(tab, 'Enter', {button: 'Pause', colour: 'Red'});
    });

    test('sharp on a dense screen: the store in device pixels, following the density',
         async () => {
      const first = await load({...DESKTOP, deviceScaleFactor: 2});
      const {size, store} = await canvas(tab);
      assert.deepEqual([size, store, [first.width, first.height]], [[320, 320], DENSE, DENSE]);
      assert.deepEqual(await projection(tab), desktop[DENSE.join('x')]);
      assertShows(first, 'White', 24);
      const frame = await tab.frame(30);
      assert.deepEqual([frame.width, frame.height], DENSE);
      assertShows(frame, 'White', 24);
      // A wider window leaves the frame as it was, and so the store.
      await tab.setViewport({...DESKTOP, width: DESKTOP.width + 100, deviceScaleFactor: 2});
      const wider = await tab.frame();
      assert.deepEqual([wider.width, wider.height], DENSE);
      await tab.setViewport(DESKTOP);
      // Chromium's emulation changes the density without telling the page; Firefox's tells it.
      if (engine === 'firefox') {
        await tab.waitFor('Module.canvas.width == 320', 20, 'back to 320');
        assert.deepEqual(await projection(tab), desktop['320x320']);
      }
    });

    test('a lost GL context: quiet while lost, then turning again in the chosen colour',
         async () => {
      await load();
      await choose(tab, 'RGB Menu', 'Green');
      await tab.evaluate(() => {
        window.__loser = Module.ctx.getExtension('WEBGL_lose_context');
        Module.canvas.addEventListener('webglcontextlost', () => { window.__lost = true; });
        window.__loser.loseContext();
      });
      await tab.waitFor('window.__lost', 20, 'the context lost');
      await assertStill(tab, 'into a lost context');
      await tab.evaluate(() => window.__loser.restoreContext());
      await tab.waitFor('!Module.ctx.isContextLost()', 20, 'the context back');
      assertShows(await tab.frame(), 'Green');
      assertShows(await tab.frame(60), 'Green');
    });

    test('a message, and no error, with no WebGL, the program missing or refused, JavaScript ' +
         'off, or opened from disk', async () => {
      const page = tab.page;
      const noWebGL = () => {
        const getContext = HTMLCanvasElement.prototype.getContext;
        HTMLCanvasElement.prototype.getContext = function(type, ...rest) {
          return /webgl/.test(type) ? null : getContext.call(this, type, ...rest);
        };
      };
      // The host's answers, a script run first, the message, and all that the console says, a
      // line each, but the toolchain's lines and Chromium's own for a missing file.
      for (const [answers, script, message, lines] of [
        [{}, noWebGL, 'no-webgl', /^$/],
        [{'whirlet.wasm': [404]}, null, 'no-program', /^whirlet\.wasm: Error: 404 Not Found$/],
        // A host that answers a missing file with its own page.
        [{'whirlet.wasm': [200, 'text/html', 'index.html']}, null, 'no-program',
         /^whirlet\.wasm: CompileError: [^\n]*$/],
        [{'whirlet.js': [404]}, null, 'no-program', /^$/],
        // As some security settings do: older runtimes note it (and abort) before the loader.
        [{}, () => delete window.WebAssembly, 'no-program',
         /^([^\n]*no native wasm support detected[^\n]*\n)?[^\n]*WebAssembly is not defined$/],
      ]) {
        const what = `${message} for ${JSON.stringify(answers)}, ${script}`;
        const host = await serve(SITE, answers);
        const added = script && await page.evaluateOnNewDocument(script);
        tab.said = [];
        try {
          await page.goto(host.url);
          await tab.waitFor(`!document.getElementById('${message}').hidden`, 30, what);
          await runFrames(tab, 10);
        } finally {
          if (added) await page.removeScriptToEvaluateOnNewDocument(added.identifier);
          await host.close();
        }
        // Shown alone, and the program draws nothing.
        const seen = [(await shown(tab)).filter((e) => e !== 'CODE'), await tab.evaluate(
          '__probe.frames')];
        assert.deepEqual(seen, [['MAIN', 'H1', message], 0], what);
        const said = tab.said.map(([, text]) => text).filter((text) =>
          !TOOLCHAIN_LINES.includes(text) && !/^Failed to load resource: .* 404 /.test(text));
        assert.match(said.join('\n'), lines, what);
        tab.said = [];
      }

      await page.goto(`file://${SITE}/index.html`);
      await tab.waitFor("!document.getElementById('from-disk').hidden", 30, 'the message');
      assert.deepEqual(await shown(tab), ['MAIN', 'H1', 'from-disk', 'CODE', 'CODE']);

      if (engine === 'firefox') return;  // its driver cannot turn JavaScript off
      await page.setJavaScriptEnabled(false);
      try {
        await page.goto(server.url);
        assert.deepEqual(await shown(tab), ['MAIN', 'H1', 'NOSCRIPT', 'P']);
        assert.match(await tab.evaluate(() => document.body.innerText),
                     /JavaScript, which is off/);
      } finally {
        await page.setJavaScriptEnabled(true);
      }
    });

    if (engine === 'chromium') {  // Firefox on the desktop has no phone layout to emulate
      test('on a phone: laid out at its width, the canvas within it, the text legible',
           async () => {
        await load({width: 375, height: 667, deviceScaleFactor: 2, isMobile: true,
                    hasTouch: true});
        const layout = await tab.evaluate(() => ({
          width: window.innerWidth,
          scroll: document.documentElement.scrollWidth,
          font: parseFloat(getComputedStyle(document.getElementById('how')).fontSize),
        }));
        assert.deepEqual(layout, {width: 375, scroll: 375, font: 14});
        const {how} = await state(tab);
        assert.match(how, /Touch and hold the picture for colours/);
        assert.doesNotMatch(how, /Right-click|Shift\+F10|arrow keys/);
        const {left, size: [width], store} = await canvas(tab);
        assert.ok(left >= 0 && left + width <= 375, `the canvas at ${left}, ${width} wide`);
        assert.deepEqual(store, [2 * width, 2 * width]);
      });
    }
  });
}
