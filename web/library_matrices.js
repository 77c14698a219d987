// Matrix products in single precision, as a desktop GL computes them.
//
// The emulated GL keeps its matrices in single precision but multiplies in double precision and
// rounds once at the end. A desktop GL converts its arguments to single precision and rounds
// after every product and every sum. For the camera that GLU builds, the two differ in the last
// bit (the translation of the projection matrix), so the three calls GLU makes are done the
// desktop way: the product of each row and column summed left to right, each step rounded.

mergeInto(LibraryManager.library, {
  $SingleMatrix__deps: ['$GLImmediate'],
  $SingleMatrix: {
    // Row row of the current matrix times column, 4 numbers in single precision.
    dot: function(row, column) {
      var f = Math.fround;
      var a = GLImmediate.matrix[GLImmediate.currentMatrix];
      var sum = f(a[row] * column[0]);
      for (var i = 1; i < 4; i++) sum = f(sum + f(a[4 * i + row] * column[i]));
      return sum;
    },

    // The current matrix times m, where m holds 16 numbers in column-major order.
    multiply: function(m) {
      var b = new Float32Array(m);
      var product = new Float32Array(16);
      for (var col = 0; col < 4; col++) {
        for (var row = 0; row < 4; row++) {
          product[4 * col + row] = SingleMatrix.dot(row, b.subarray(4 * col));
        }
      }
      GLImmediate.matrix[GLImmediate.currentMatrix].set(product);
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

  // The current matrix times a translation by (x, y, z): only its last column changes, each row
  // of it the row times (x, y, z, 1). The emulation makes glTranslatef the same function.
  glTranslated__deps: ['$SingleMatrix'],
  glTranslated: function(x, y, z) {
    var column = new Float32Array([x, y, z, 1]);
    var a = GLImmediate.matrix[GLImmediate.currentMatrix];
    for (var row = 0; row < 4; row++) a[12 + row] = SingleMatrix.dot(row, column);
    SingleMatrix.changed();
  },
});
