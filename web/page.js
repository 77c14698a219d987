// The page around the program, run before it: it says what works on this device, lets the
// program run where it can and otherwise says why not (the program's libraries call Module.fail
// with the id of the message to show), resizes the window by its corner (pointer or arrow keys),
// and pauses the turning.
var Module = {canvas: document.getElementById('canvas')};

(function() {
  var frame = document.getElementById('frame');
  var how = document.getElementById('how');
  var pause = document.getElementById('pause');
  Module.fail = function(id) {
    frame.hidden = how.hidden = pause.hidden = true;
    document.getElementById(id).hidden = false;
  };
  // A page on disk may not fetch its .wasm: say so, and keep the program from trying (this hook
  // replaces the fetch and never calls back), rather than fail in the console.
  if (location.protocol == 'file:') {
    Module.instantiateWasm = function() { return {}; };
    return Module.fail('from-disk');
  }

  // A program that does not load or stops gets the page's message. whirlet.wasm is loaded here:
  // the runtime's own loader retries a refused file another way and prints a line at each step.
  var failed = function() { Module.fail('no-program'); };
  Module.onAbort = failed;
  Module.instantiateWasm = function(imports, receive) {
    fetch('whirlet.wasm').then(function(response) {
      if (!response.ok) throw new Error(response.status + ' ' + response.statusText);
      return response.arrayBuffer();
    }).then(function(bytes) {
      return WebAssembly.instantiate(bytes, imports);
    }).then(function(result) { receive(result.instance); }, function(error) {
      console.error('whirlet.wasm: ' + error);
      failed();
    });
    return {};
  };
  // Only capture hears a script's load error: whirlet.js missing.
  addEventListener('error', function(event) {
    if (event.target.tagName == 'SCRIPT') failed();
  }, true);

  // A device that asks for less motion gets the first frame, and a Play button.
  var setPaused = function(paused) {
    Module.paused = paused;
    pause.textContent = paused ? 'Play' : 'Pause';
    if (Module.pausedChanged) Module.pausedChanged();
  };
  setPaused(matchMedia('(prefers-reduced-motion: reduce)').matches);
  pause.addEventListener('click', function() { setPaused(!Module.paused); });

  var mouse = matchMedia('(any-pointer: fine)').matches;
  var touch = matchMedia('(any-pointer: coarse)').matches;
  how.textContent = [
    mouse && touch ? 'Right-click the picture, or touch and hold it, for colours.'
      : touch ? 'Touch and hold the picture for colours, then tap one.'
      : 'Right-click the picture for colours.',
    // Keys, unless the device is touch only: a phone's screen keyboard has neither.
    mouse || !touch
      ? 'With the keyboard: Tab to it, press Shift+F10 or the menu key, then arrows and Enter.'
      : '',
    'Drag its bottom-right corner to resize it' +
      (mouse || !touch ? ', or Tab to that corner and press the arrow keys.' : '.'),
    Module.paused ? 'It is paused, as this device asks for less motion: press Play to see it turn.'
      : 'Pause stops the turning.',
  ].filter(Boolean).join(' ');
  frame.hidden = how.hidden = pause.hidden = false;

  // The corner follows the mouse, the finger or the pen that holds it, and the arrow keys.
  var corner = document.getElementById('corner');
  var resize = function(width, height) {
    frame.style.width = Math.max(24, width) + 'px';
    frame.style.height = Math.max(24, height) + 'px';
  };
  var start;
  corner.addEventListener('pointerdown', function(event) {
    if (event.button) return;
    event.preventDefault();
    corner.setPointerCapture(event.pointerId);
    start = {x: event.clientX, y: event.clientY,
             width: frame.offsetWidth, height: frame.offsetHeight};
  });
  corner.addEventListener('pointermove', function(event) {
    if (!corner.hasPointerCapture(event.pointerId)) return;
    resize(start.width + event.clientX - start.x, start.height + event.clientY - start.y);
  });
  var arrows = {ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1]};
  corner.addEventListener('keydown', function(event) {
    var arrow = arrows[event.key];
    if (!arrow || event.altKey || event.ctrlKey || event.metaKey) return;
    event.preventDefault();  // the page would scroll
    var by = event.shiftKey ? 1 : 10;  // Shift for the last few pixels
    resize(frame.offsetWidth + arrow[0] * by, frame.offsetHeight + arrow[1] * by);
  });
})();
