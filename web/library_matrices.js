// Matrix products in single precision, as a desktop GL computes them.
//
// The emulated GL keeps its matrices in single precision but multiplies in double precision and
// rounds once at the end. A desktop GL converts its arguments to single precision and rounds
// after every product and every sum. For the camera that GLU builds, the two differ in the last
// bit (the translation of the projection matrix), so the three calls GLU makes are done the
// desktop way: the product of each row and column summed left to right, each step rounded.

var LibraryWebMatrices = {
  $SingleMatrix__deps: ['$GLImmediate'],
  $SingleMatrix: {
    // The current matrix times m, where m holds 16 numbers in column-major order.
    multiply: function(m) {
      var f = Math.fround;
      var a = GLImmediate.matrix[GLImmediate.currentMatrix];
      var b = new Float32Array(m);
      var product = new Float32Array(16);
      for (var col = 0; col < 4; col++) {
        for (var row = 0; row < 4; row++) {
          var sum = f(a[row] * b[4 * col]);
          sum = f(sum + f(a[4 + row] * b[4 * col + 1]));
          sum = f(sum + f(a[8 + row] * b[4 * col + 2]));
          sum = f(sum + f(a[12 + row] * b[4 * col + 3]));
          product[4 * col + row] = sum;
        }
      }
      a.set(product);
      SingleMatrix.changed();
    },

    // The current matrix times a translation by (x, y, z).
    translate: function(x, y, z) {
      var f = Math.fround;
      var a = GLImmediate.matrix[GLImmediate.currentMatrix];
      x = f(x);
      y = f(y);
      z = f(z);
      for (var row = 0; row < 4; row++) {
        var sum = f(a[row] * x);
        sum = f(sum + f(a[4 + row] * y));
        sum = f(sum + f(a[8 + row] * z));
        a[12 + row] = f(sum + a[12 + row]);
      }
      SingleMatrix.changed();
    },

    // What the emulation's own matrix calls do to have the new matrix used.
    changed: function() {
      var current = GLImmediate.currentMatrix;
      GLImmediate.matricesModified = true;
      GLImmediate.matrixVersion[current] = (GLImmediate.matrixVersion[current] + 1) | 0;
    },
  },

  glMultMatrixd__deps: ['$SingleMatrix'],
  glMultMatrixd: function(matrix) {
    SingleMatrix.multiply({{{ makeHEAPView('F64', 'matrix', 'matrix+' + (16*8)) }}});
  },

  glMultMatrixf__deps: ['$SingleMatrix'],
  glMultMatrixf: function(matrix) {
    SingleMatrix.multiply({{{ makeHEAPView('F32', 'matrix', 'matrix+' + (16*4)) }}});
  },

  glTranslated__deps: ['$SingleMatrix'],
  glTranslated: function(x, y, z) {
    SingleMatrix.translate(x, y, z);
  },

  glTranslatef__deps: ['$SingleMatrix'],
  glTranslatef: function(x, y, z) {
    SingleMatrix.translate(x, y, z);
  },
};

mergeInto(LibraryManager.library, LibraryWebMatrices);
