// Drawing paced by the browser, and a window that the page can resize.
//
// Emscripten's GLUT runs the idle callback from a 4 ms timer, but the browser shows the canvas
// only at its own refresh rate: most of those drawings are never seen, and the picture jumps
// several steps per shown frame. Here every animation frame of the browser runs exactly one
// callback: a posted redisplay if there is one, else the idle callback.
//
// The canvas fills the element around it (its frame). When the page changes the frame's size,
// by the user dragging its corner for instance, the window is reshaped to match, and the
// reshape callback hears of it as it would of a desktop window's new size.

var LibraryWebFrames = {
  $WebFrames__deps: ['$GLUT', '$callUserCallback',
                     'glutReshapeWindow'],
  $WebFrames: {
    idle: 0,
    redisplay: false,
    scheduled: false,
    observer: null,

    schedule: function() {
      if (WebFrames.scheduled) return;
      WebFrames.scheduled = true;
      requestAnimationFrame(WebFrames.frame);
    },

    frame: function() {
      WebFrames.scheduled = false;
      var callback = WebFrames.redisplay ? GLUT.displayFunc : WebFrames.idle;
      WebFrames.redisplay = false;
      if (WebFrames.idle) WebFrames.schedule();
      if (callback) {
        callUserCallback(function() {
          {{{ makeDynCall('v', 'callback') }}}();
        });
      }
    },

    followFrame: function() {
      var canvas = Module['canvas'];
      var frame = canvas.parentElement;
      if (WebFrames.observer || !frame || typeof ResizeObserver == 'undefined') return;
      WebFrames.observer = new ResizeObserver(function() {
        var width = frame.clientWidth;
        var height = frame.clientHeight;
        if (width != canvas.width || height != canvas.height) _glutReshapeWindow(width, height);
      });
      WebFrames.observer.observe(frame);
    },
  },

  glutIdleFunc__deps: ['$WebFrames'],
  glutIdleFunc: function(func) {
    WebFrames.idle = func;
    if (func) WebFrames.schedule();
  },

  glutPostRedisplay__deps: ['$WebFrames'],
  glutPostRedisplay: function() {
    if (!GLUT.displayFunc) return;
    WebFrames.redisplay = true;
    WebFrames.schedule();
  },

  glutReshapeFunc__deps: ['$WebFrames'],
  glutReshapeFunc: function(func) {
    GLUT.reshapeFunc = func;
    WebFrames.followFrame();
  },
};

mergeInto(LibraryManager.library, LibraryWebFrames);
