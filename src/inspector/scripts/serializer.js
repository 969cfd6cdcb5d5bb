function () {
  var JSONMode = JSON_MODE;
  var maxDepth = 13;
  var path = [];

  function indent(depth) {
    var text = "";
    for (var i = 0; i < depth; i++) text += "  ";
    return text;
  }

  function quote(text) {
    return JSON.stringify(String(text));
  }

  function textOf(value) {
    try {
      return String(value);
    } catch (e) {
      return Object.prototype.toString.call(value);
    }
  }

  function unreadable(exception) {
    return quote("[unreadable: " + textOf(exception) + "]");
  }

  // Brand checks hold for objects of other frames too.
  function isDate(value) {
    try {
      Date.prototype.getTime.call(value);
      return true;
    } catch (e) {
      return false;
    }
  }

  function isMap(value) {
    try {
      Map.prototype.has.call(value, undefined);
      return true;
    } catch (e) {
      return false;
    }
  }

  function isSet(value) {
    try {
      Set.prototype.has.call(value, undefined);
      return true;
    } catch (e) {
      return false;
    }
  }

  function isError(value) {
    return value instanceof Error || Object.prototype.toString.call(value) === "[object Error]";
  }

  function isNode(value) {
    return typeof Node === "function" && value instanceof Node;
  }

  function functionName(fn) {
    try {
      var name = fn.name;
      return typeof name === "string" ? name : "";
    } catch (e) {
      return "";
    }
  }

  // The stack alone may lack the message (some engines print only the frames).
  function errorText(error) {
    var text = textOf(error);
    var stack;
    try {
      stack = error.stack;
    } catch (e) {
      stack = undefined;
    }
    if (typeof stack !== "string" || stack === "") return text;
    return stack.indexOf(text) >= 0 ? stack : text + "\n" + stack;
  }

  function key(name) {
    if (!JSONMode && /^[A-Za-z_$][A-Za-z0-9_$]*$/.test(name)) return name;
    return JSON.stringify(name);
  }

  function block(open, close, items, depth) {
    if (items.length === 0) return open + close;
    var inner = indent(depth + 1);
    return open + "\n" + inner + items.join(",\n" + inner) + "\n" + indent(depth) + close;
  }

  // One member of a container, read only when it is shallow enough to be printed.
  function member(container, name, depth) {
    if (depth >= maxDepth) return quote("[too deep]");
    var value;
    try {
      value = container[name];
    } catch (e) {
      return unreadable(e);
    }
    return format(value, depth);
  }

  function list(values, depth) {
    var items = [];
    for (var i = 0; i < values.length; i++) items.push(member(values, i, depth + 1));
    return block("[", "]", items, depth);
  }

  function formatObject(value, depth) {
    if (Array.isArray(value)) return list(value, depth);
    if (isDate(value)) {
      if (isNaN(Date.prototype.getTime.call(value))) return JSONMode ? "null" : "new Date(NaN)";
      var iso = JSON.stringify(Date.prototype.toISOString.call(value));
      return JSONMode ? iso : "new Date(" + iso + ")";
    }
    if (isError(value)) return quote(errorText(value));
    if (isMap(value)) {
      var pairs = [];
      Map.prototype.forEach.call(value, function (v, k) { pairs.push([k, v]); });
      return list(pairs, depth);
    }
    if (isSet(value)) {
      var members = [];
      Set.prototype.forEach.call(value, function (v) { members.push(v); });
      return list(members, depth);
    }
    if (isNode(value)) return quote(value.nodeName);
    var names = Object.keys(value);
    var lines = [];
    for (var i = 0; i < names.length; i++)
      lines.push(key(names[i]) + ": " + member(value, names[i], depth + 1));
    return block("{", "}", lines, depth);
  }

  function format(value, depth) {
    if (depth >= maxDepth) return quote("[too deep]");
    switch (typeof value) {
      case "undefined":
        return JSONMode ? "null" : "undefined";
      case "string":
        return JSON.stringify(value);
      case "boolean":
        return value ? "true" : "false";
      case "number":
        return isFinite(value) || !JSONMode ? String(value) : "null";
      case "bigint":
        return JSONMode ? quote(value.toString()) : value.toString() + "n";
      case "symbol":
        return quote(value.toString());
      case "function":
        var name = functionName(value);
        return JSONMode ? quote("[Function " + (name || "anonymous") + "]") : "function " + name + "() {}";
    }
    if (value === null) return "null";
    if (path.indexOf(value) >= 0) return quote("[Circular]");
    path.push(value);
    try {
      return formatObject(value, depth);
    } catch (e) {
      return unreadable(e);
    } finally {
      path.pop();
    }
  }

  return format(this, 0);
}
