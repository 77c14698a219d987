// The web tests' browsers, driven by puppeteer-core: headless Chromium, and Firefox with a
// display (its headless mode has no WebGL here; run it under xvfb-run). Also the page server,
// and web/run's screenshot when there is no display:
//
//     node tests/web/browser.mjs SITE SCREENSHOT.png
//
// serves the built page from SITE, lets it turn the triangle by 30 degrees in Chromium and saves a
// 560x500 screenshot.

import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import {pathToFileURL} from 'node:url';
import puppeteer from 'puppeteer-core';

// Injected before the page's own scripts. Every animation-frame callback is wrapped so that the
// frames can be counted and, on request, read back in the page right after the page drew them
// (later, the browser has shown and cleared the drawing buffer) into a Frame's few numbers. The
// first frame is always kept. Also counted: the policy's violations, and the browser's own menus
// (contextmenu events that nothing prevented).
const PROBE = `(() => {
  const raf = window.requestAnimationFrame.bind(window);
  const probe = window.__probe = {frames: 0, first: null, wanted: [], raf,
                                  violations: [], browserMenus: 0};
  document.addEventListener('securitypolicyviolation', (event) => {
    probe.violations.push(event.violatedDirective + ' ' + event.blockedURI);
  });
  window.addEventListener('contextmenu', (event) => {
    probe.browserMenus += !event.defaultPrevented;
  });
  const read = () => {
    const gl = window.Module && Module.ctx;
    if (!gl || gl.isContextLost()) return null;
    const width = gl.drawingBufferWidth, height = gl.drawingBufferHeight;
    const rgba = new Uint8Array(width * height * 4);
    gl.readPixels(0, 0, width, height, gl.RGBA, gl.UNSIGNED_BYTE, rgba);
    const spans = {}, colours = {};
    for (let y = 0; y < height; y++) {
      const row = (height - 1 - y) * width * 4;  // GL rows go bottom up
      let first = -1, last = -1, count = 0;
      for (let x = 0; x < width; x++) {
        const i = row + 4 * x;
        if (Math.max(rgba[i], rgba[i + 1], rgba[i + 2]) <= 40) continue;
        if (first < 0) first = x;
        last = x;
        count++;
        const colour = rgba[i] + ',' + rgba[i + 1] + ',' + rgba[i + 2];
        colours[colour] = (colours[colour] || 0) + 1;
      }
      if (count) spans[y] = [first, last, count];
    }
    return {number: probe.frames, width, height, spans, colours};
  };
  window.requestAnimationFrame = (callback) => raf((time) => {
    callback(time);
    probe.frames += 1;
    if (probe.frames === 1) probe.first = read();
    if (probe.frames === probe.wanted[0]) probe.wanted[1](read());
  });
  // One frame waited for at a time: the tests never want two at once.
  probe.grab = (frame, timeout) => new Promise((resolve, reject) => {
    if (frame <= probe.frames) return reject(new Error('frame ' + frame + ' is already past'));
    probe.wanted = [frame, resolve];
    setTimeout(() => reject(new Error('no animation frame ' + frame + ' in ' + timeout + ' s')),
               timeout * 1000);
  });
})();`;

const TYPES = {'.html': 'text/html', '.js': 'text/javascript', '.wasm': 'application/wasm',
               '.css': 'text/css', '.png': 'image/png'};

// The folder site served on a free loopback port, in a sub-folder as a host might put it: its
// address, and close(). Answers, by file name, as a broken host gives them: [status] alone, or
// [200, type, file]: another type, and another file's bytes in place of its own if named.
export async function serve(site, answers = {}) {
  site = path.resolve(site);  // whole, for the check that a file is in it
  const folder = '/some/folder/';
  const server = http.createServer((request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    const file = path.join(site, name.slice(folder.length) || 'index.html');
    if (!name.startsWith(folder) || !file.startsWith(site + path.sep)) {
      return response.writeHead(404).end();
    }
    const [status, type, instead] = answers[path.basename(file)] || [200];
    if (status !== 200) return response.writeHead(status).end();
    fs.readFile(instead ? path.join(site, instead) : file, (error, data) => {
      if (error) return response.writeHead(404).end();
      response.writeHead(200, {'Content-Type': type || TYPES[path.extname(file)] || 'text/plain'})
        .end(data);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return {url: `http://127.0.0.1:${server.address().port}${folder}`,
          close: () => new Promise((resolve) => server.close(resolve))};
}

// One browser of the engine ('chromium' or 'firefox'). Chromium: puppeteer's own arguments turn
// off what reaches out to the network but the component updater.
export function launch(engine) {
  if (engine === 'firefox') {
    return puppeteer.launch({browser: 'firefox', executablePath: '/usr/bin/firefox-esr',
                             headless: false, protocolTimeout: 150000});
  }
  // WebGL in software: there is no GPU here.
  const args = ['--disable-component-update', '--enable-unsafe-swiftshader',
                '--use-angle=swiftshader'];
  if (process.getuid() === 0) args.push('--no-sandbox');  // refused as root otherwise
  return puppeteer.launch({browser: 'chrome', executablePath: '/usr/bin/chromium',
                           headless: true, args, protocolTimeout: 150000});
}

// The tab: the program's page, its frames, and what it said, as (level, text).
export class Tab {
  static async open(browser) {
    const page = await browser.newPage();
    await page.evaluateOnNewDocument(PROBE);
    return new Tab(page);
  }

  constructor(page) {
    this.page = page;
    this.said = [];
    page.on('console', (message) => this.said.push([message.type(), message.text()]));
    page.on('pageerror', (error) => this.said.push(['pageerror', String(error)]));
  }

  // Loads the page in a viewport of that size; its first frame. Away first: what the last page
  // says as it goes (a reload by the driver cut short, say) is not this page's.
  async load(url, viewport) {
    await this.page.goto('about:blank');
    await this.setViewport(viewport);
    this.said = [];
    await this.page.goto(url);
    await this.waitFor('window.__probe && window.__probe.first', 30, "the program's first frame");
    return new Frame(await this.evaluate('window.__probe.first'));
  }

  evaluate(expression, ...args) {
    return this.page.evaluate(expression, ...args);
  }

  // Polled in the page, the expression compiled with the rest of the source sent: puppeteer's
  // own waiting compiles its test with Function() in the page, which the page's
  // Content-Security-Policy refuses in some Firefox versions (ESR 140).
  async waitFor(expression, seconds, what) {
    const met = await this.evaluate(`new Promise((done) => {
      const until = Date.now() + ${seconds * 1000};
      (function poll() {
        if (${expression}) done(true);
        else if (Date.now() > until) done(false);
        else setTimeout(poll, 50);
      })();
    })`);
    if (!met) throw new Error(`timed out after ${seconds} s waiting for ${what}`);
  }

  // Firefox ESR 140 knows no screen orientation override, which puppeteer sends along.
  async setViewport(viewport) {
    try {
      await this.page.setViewport(viewport);
    } catch (error) {
      if (!/setScreenOrientationOverride/.test(error.message)) throw error;
    }
  }

  // The page's next frame but one once drawn, or the first from then on that shows the triangle
  // turned by `angle` degrees. Worked out in the page, where no frame passes meanwhile. The wait
  // allows for a slow browser on a busy machine: five frames a second.
  async frame(angle) {
    return new Frame(await this.evaluate((angle) => {
      const now = window.__probe.frames;
      let number = now + 2;
      if (angle !== undefined) number += ((angle - (number - 1)) % 360 + 360) % 360;
      return window.__probe.grab(number, 20 + (number - now) / 5);
    }, angle));
  }
}

// One frame of the canvas: its lit pixels row by row (row, top first -> [first, last, count])
// and their colours ('r,g,b' -> pixel count: one entry for a flat triangle).
export class Frame {
  constructor(grabbed) {
    if (!grabbed) throw new Error('no frame was read: the canvas has no GL context');
    Object.assign(this, grabbed);
    this.count = Object.values(this.spans).reduce((sum, span) => sum + span[2], 0);
  }

  toString() {
    const colours = Object.entries(this.colours).slice(0, 4).map((e) => e.join(': '));
    return `<frame ${this.number} ${this.width}x${this.height}: ${this.count} lit, ` +
           `colours ${colours.join(', ')}>`;
  }
}

if (import.meta.url === pathToFileURL(process.argv[1]).href) {
  const [site, screenshot] = process.argv.slice(2);
  const server = await serve(site);
  const browser = await launch('chromium');
  try {
    const tab = await Tab.open(browser);
    await tab.load(server.url, {width: 560, height: 500});
    await tab.frame(30);
    await tab.page.screenshot({path: screenshot});
  } finally {
    await browser.close();
    await server.close();
  }
}
