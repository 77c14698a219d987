// Drawing paced by the browser, and a window that the page can resize.
//
// Emscripten's GLUT runs the idle callback from a 4 ms timer, but the browser shows the canvas
// only at its own refresh rate: most of those drawings are never seen, and the picture jumps
// several steps per shown frame. Here every animation frame of the browser runs exactly one
// callback: a posted redisplay if there is one, else the idle callback.
//
// The canvas fills the element around it (its frame). When the frame's size changes, by the
// user dragging its corner for instance, or the screen's pixel density does (zoom, another
// screen), the window is reshaped to the frame's size in device pixels, as a desktop toolkit
// hands a program its window's size in pixels on a dense screen, and the reshape callback hears
// of it.
//
// The page pauses the turning by setting Module.paused (before the program starts: paused on its
// first frame) and calling Module.pausedChanged: the idle callback is then not called, and the
// window is drawn only when something posts a redisplay.
//
// A browser with no WebGL gets the page's message instead of a program that fails on every call.
// When the browser takes the GL context away (a GPU reset, too many pages with WebGL), drawing
// stops until it gives the context back; then the GL emulation's own objects are made anew, the
// window reshaped to set the viewport again, and the program goes on where it was.
//
// Only EmscriptenInside reaches inside Emscripten's GLUT and GL emulation; the rest calls GLUT.

mergeInto(LibraryManager.library, {
  // What this file does inside Emscripten's GLUT and GL emulation, for want of a public call;
  // checked on Emscripten 3.1.6, 3.1.69 and 6.0.5. Should a newer one move what these touch, the
  // web tests of touch and of a lost context fail.
  $EmscriptenInside__deps: ['$GLUT', '$GL', '$GLImmediate'],
  $EmscriptenInside: {
    // glutInit's window listeners that turn touches into mouse presses cannot stop the browser's
    // own handling (browsers make them passive: an error in the console per touch). The browser
    // sends mouse events for a tap anyway; long presses open the menus (library_menus.js).
    dropTouchHandler: function() {
      ['touchstart', 'touchmove', 'touchend'].forEach(function(type) {
        window.removeEventListener(type, GLUT.touchHandler, true);
      });
    },

    // The emulation's shader programs and buffers died with the old context.
    renewGL: function() {
      GLImmediate.rendererCache = GLImmediate.MapTreeLib.create();
      GL.generateTempBuffers(true, GL.currentContext);
    },
  },

  $WebFrames__deps: ['$EmscriptenInside', '$callUserCallback', 'glutReshapeWindow'],
  $WebFrames__postset: "Module['pausedChanged'] = WebFrames.pausedChanged;",
  $WebFrames: {
    display: 0,
    idle: 0,
    mode: 0x0012,  // GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH, Emscripten's GLUT's default
    redisplay: false,
    scheduled: 0,  // the pending animation frame's id
    lost: false,

    schedule: function() {
      if (WebFrames.scheduled || WebFrames.lost) return;
      WebFrames.scheduled = requestAnimationFrame(WebFrames.frame);
    },

    unschedule: function() {
      cancelAnimationFrame(WebFrames.scheduled);
      WebFrames.scheduled = 0;
    },

    // The next frame turns the triangle, if the program turns it and the page has not paused it.
    turn: function() {
      if (WebFrames.idle && !Module['paused']) WebFrames.schedule();
    },

    frame: function() {
      WebFrames.scheduled = 0;
      var callback = WebFrames.redisplay ? WebFrames.display : WebFrames.idle;
      WebFrames.redisplay = false;
      WebFrames.turn();
      if (callback) {
        callUserCallback(function() {
          {{{ makeDynCall('v', 'callback') }}}();
        });
      }
    },

    pausedChanged: function() {
      if (!Module['paused']) WebFrames.turn();
      else if (!WebFrames.redisplay) WebFrames.unschedule();  // the frame due would turn it
    },

    // The window takes its frame's size in device pixels.
    followFrame: function() {
      var canvas = Module['canvas'];
      var frame = canvas.parentElement;
      var follow = function() {
        var ratio = window.devicePixelRatio;
        var width = Math.round(frame.clientWidth * ratio);
        var height = Math.round(frame.clientHeight * ratio);
        if (width != canvas.width || height != canvas.height) _glutReshapeWindow(width, height);
      };
      follow();  // now: glutMainLoop's first reshape takes the canvas's size
      new ResizeObserver(follow).observe(frame);
      // Emscripten 6's GLUT sets the store to the canvas's CSS size on every window resize.
      window.addEventListener('resize', follow);
      // A media query that stops matching when the density changes, asked anew each time.
      (function watchDensity() {
        matchMedia('(resolution: ' + window.devicePixelRatio + 'dppx)')
          .addEventListener('change', function() { follow(); watchDensity(); }, {once: true});
      })();
    },

    watchContext: function() {
      var canvas = Module['canvas'];
      canvas.addEventListener('webglcontextlost', function(event) {
        event.preventDefault();  // without it the browser never gives the context back
        WebFrames.lost = true;
        WebFrames.unschedule();
      });
      canvas.addEventListener('webglcontextrestored', function() {
        EmscriptenInside.renewGL();
        WebFrames.lost = false;
        _glutReshapeWindow(canvas.width, canvas.height);  // its redisplay turns it on
      });
    },
  },

  glutInitDisplayMode__deps: ['$WebFrames'],
  glutInitDisplayMode: function(mode) {
    WebFrames.mode = mode;
  },

  glutCreateWindow__deps: ['$Browser', '$WebFrames', '$EmscriptenInside'],
  glutCreateWindow: function(name) {
    var mode = WebFrames.mode;
    Module.ctx = Browser.createContext(Module['canvas'], true, true, {
      antialias: (mode & 0x0080 /* GLUT_MULTISAMPLE */) != 0,
      depth: (mode & 0x0010 /* GLUT_DEPTH */) != 0,
      stencil: (mode & 0x0020 /* GLUT_STENCIL */) != 0,
      alpha: (mode & 0x0008 /* GLUT_ALPHA */) != 0,
    });
    EmscriptenInside.dropTouchHandler();
    if (Module.ctx) {
      WebFrames.followFrame();
      WebFrames.watchContext();
      return 1;
    }
    // The program would go on to draw into nothing. It stops here, quietly, like glutMainLoop.
    if (Module['fail']) Module['fail']('no-webgl');
    throw 'unwind';
  },

  // The first reshape takes the store as followFrame left it. Emscripten 6's own sets the store
  // to the canvas's CSS size first, which blurs the first frame on a dense screen.
  glutMainLoop__deps: ['glutReshapeWindow'],
  glutMainLoop: function() {
    var canvas = Module['canvas'];
    _glutReshapeWindow(canvas.width, canvas.height);  // which posts the first redisplay
    throw 'unwind';
  },

  glutDisplayFunc__deps: ['$WebFrames'],
  glutDisplayFunc: function(func) {
    WebFrames.display = func;
  },

  glutIdleFunc__deps: ['$WebFrames'],
  glutIdleFunc: function(func) {
    WebFrames.idle = func;
    WebFrames.turn();
  },

  glutPostRedisplay__deps: ['$WebFrames'],
  glutPostRedisplay: function() {
    WebFrames.redisplay = true;
    WebFrames.schedule();
  },
});
