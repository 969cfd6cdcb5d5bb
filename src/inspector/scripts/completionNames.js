(function () {
  var names = new Set();
  try {
    for (var o = BASE_EXPRESSION; o != null; o = Object.getPrototypeOf(o)) {
      Object.getOwnPropertyNames(o).forEach(function (n) { names.add(n); });
    }
  } catch (e) { return []; }
  return Array.from(names);
})()
