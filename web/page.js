// The page around the program: it loads the program where it can run, and otherwise says why
// not. The program's libraries call Module.fail with the id of the message to show.
var Module = {canvas: document.getElementById('canvas')};

(function() {
  var frame = document.getElementById('frame');
  var how = document.getElementById('how');
  Module.fail = function(id) {
    frame.hidden = how.hidden = true;
    document.getElementById(id).hidden = false;
  };
  // A page on disk may not fetch its .wasm: say so rather than fail in the console.
  if (location.protocol == 'file:') return Module.fail('from-disk');
  how.textContent = 'Whirlet in the browser: right-click for colours, drag the corner to resize.';
  frame.hidden = how.hidden = false;
  var program = document.createElement('script');
  program.src = 'whirlet.js';
  document.body.appendChild(program);
})();
