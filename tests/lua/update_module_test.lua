-- Table-driven tests of the Lua module "update" against the scriptable relay double.
-- Run by CTest with LUA_CPATH at update.so and the double's control module, and
-- LD_LIBRARY_PATH at the double, which then stands in for the relay library.

local update = require("update")
local relay = require("kvtrelay_control")

local failures, checks = 0, 0

local function show(v)
  if type(v) == "string" then return string.format("%q", v) end
  return tostring(v)
end

local function eq(actual, expected, label)
  checks = checks + 1
  if actual ~= expected then
    failures = failures + 1
    io.stderr:write(string.format("FAIL %s: expected %s, got %s\n", label, show(expected), show(actual)))
  end
end

-- Calls f and expects it to raise an error whose text is exactly `text`, or contains
-- "(text)" for argument errors.
local function raises(label, text, f, ...)
  local ok, err = pcall(f, ...)
  checks = checks + 1
  local matched = not ok and (err == text or (type(err) == "string" and err:find("(" .. text .. ")", 1, true)))
  if not matched then
    failures = failures + 1
    io.stderr:write(string.format("FAIL %s: expected error %s, got %s %s\n", label, show(text), tostring(ok), show(err)))
  end
end

-- Nothing the module took from the double may outlive a call.
local function released(label)
  local contexts, informations = relay.live()
  eq(contexts, 0, label .. ": contexts left open")
  eq(informations, 0, label .. ": informations left")
  eq(relay.calls("DestroyContext"), relay.calls("CreateContext") > 0 and relay.calls("CreateContext") or 0,
     label .. ": DestroyContext once per context")
end

local function group(name, f)
  relay.reset()
  local ok, err = pcall(f)
  if not ok then
    failures = failures + 1
    io.stderr:write("FAIL " .. name .. ": " .. tostring(err) .. "\n")
  end
end

local function tmpdir()
  local path = os.tmpname()
  os.remove(path)
  assert(os.execute("mkdir -p '" .. path .. "/packages'"))
  return path
end

local function touch(path, text)
  local f = assert(io.open(path, "w"))
  f:write(text or "x")
  f:close()
end

local function exists(path)
  local f = io.open(path, "r")
  if f then f:close() return true end
  return false
end

local function slurp(path)
  local f = assert(io.open(path, "r"))
  local s = f:read("*a")
  f:close()
  return s
end

local STUB = "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n"

group("loading, status and version", function()
  eq(relay.startups(), 1, "started once at load")
  local again = package.loadlib(package.searchpath("update", package.cpath), "luaopen_update")
  again()
  eq(relay.startups(), 1, "a second load does not start again")

  for _, case in ipairs({ {1, true}, {"1", true}, {0, false}, {-3, false}, {"x", false}, {nil, false},
                          {4294967297, true}, {2147483648, false} }) do
    eq(update.ok(case[1]), case[2], "ok(" .. tostring(case[1]) .. ")")
  end
  eq(update.ok(), false, "ok()")

  local v, code, message = update.version()
  eq(v.string, "2.1.7", "version string")
  eq(v.revision, 30, "revision")
  eq(v.major * 100 + v.minor * 10 + v.build, 217, "version fields")
  eq(code, 1, "version code")
  eq(message, "ok", "version message")

  relay.setstatus("GetVersion", -2)
  relay.setmessage({ 0x48, 0xE9, 0x6C, 0x4E2D, 0x21 })
  v, code, message = update.version()
  eq(v, nil, "failed version gives nil")
  eq(code, -2, "failed version code")
  eq(message, "H?l?!", "non-ASCII message characters become ?")

  local r
  r, code = update.startup()
  eq(r, true, "startup()")
  eq(relay.calls("Startup"), 1, "startup() calls the relay")
  relay.setstatus("Shutdown", -11)
  r, code = update.shutdown()
  eq(r, nil, "failed shutdown gives nil")
  eq(code, -11, "shutdown code keeps its sign")
end)

group("identifier grammar", function()
  -- id, klass, type, language, platform, region, oem, extract identifier
  local good = {
    { "c3t4", 3, 4, -1, -1, -1, -1, "c3t4v0.0.0l-1p-1r-1o-1" },
    { "c3t4l1p1r1o1", 3, 4, 1, 1, 1, 1, "c3t4v0.0.0l1p1r1o1" },
    { "c3t4l-5l7", 3, 4, 7, -1, -1, -1, "c3t4v0.0.0l7p-1r-1o-1" },
    { "ctl-", 0, 0, 0, -1, -1, -1, "c0t0v0.0.0l0p-1r-1o-1" },
    { "c3t4v1.12345", 3, 4, -1, -1, -1, -1, "c3t4v1.1234.0l-1p-1r-1o-1" },
    { "c3t4v9.0005.7.8", 3, 4, -1, -1, -1, -1, "c3t4v9.0005.7l-1p-1r-1o-1" },
    { "c4294967299t4", 3, 4, -1, -1, -1, -1, "c3t4v0.0.0l-1p-1r-1o-1" },
  }
  for _, c in ipairs(good) do
    local t = update.tocomponent(c[1])
    eq(t.klass, c[2], c[1] .. " klass")
    eq(t.type, c[3], c[1] .. " type")
    eq(t.language, c[4], c[1] .. " language")
    eq(t.platform, c[5], c[1] .. " platform")
    eq(t.region, c[6], c[1] .. " region")
    eq(t.oem, c[7], c[1] .. " oem")
    eq(t.extract, c[8], c[1] .. " extract")
  end
  eq(update.tocomponent("c3t4").name, "c3t4l-1p-1r-1o-1", "component name")
  raises("a number is read as its text", "invalid product class", update.tocomponent, 31)
end)

group("identifier errors", function()
  local bad = {
    { "3t4", "invalid product class" }, { "", "invalid product class" }, { "c3x", "invalid product type" },
    { "c3t4x1", "invalid field" }, { "c3t4v1.2.3.4.5", "invalid field" },
    { "c3t4l1p1r1o1l2", "too many fields" }, { "c3t4l1p1r1o1x", "too many fields" },
    { "c3t4v1.123456", "minor version too large" }, { {}, "expected product id string" },
    { true, "expected product id string" },
  }
  for _, c in ipairs(bad) do
    raises("tocomponent " .. tostring(c[1]), c[2], update.tocomponent, c[1])
    raises("toproduct " .. tostring(c[1]), c[2], update.toproduct, c[1])
  end
  local _, err = pcall(update.tocomponent, "x")
  eq(err:match("^bad argument #1 "), "bad argument #1 ", "raised as an error of argument 1")
  _, err = pcall(update.extract, "/repo", "x", "/tmp")
  eq(err:match("^bad argument #2 "), "bad argument #2 ", "extract raises for argument 2")
  eq(update.tocomponent("c3t4l-10"), nil, "a hidden entity is nil")
  eq(update.tocomponent("c3t4o-10"), nil, "hidden through oem")
end)

group("string forms and display versions", function()
  eq(update.toproduct("c3t4"), "c3t4v0.0.0l-1p-1r-1o-1", "product name")
  eq(update.toproduct("c2t1207960066v9.5.1007"), "c2t1207960066v9.5.1007l-1p-1r-1o-1", "engine product name")
  eq(update.toproduct("c3t4v1.05"), "c3t4v1.05.0l-1p-1r-1o-1", "product minor keeps inner zeros")
  eq(update.toproduct("c3t4v1.0001"), "c3t4v1.0001.0l-1p-1r-1o-1", "product minor keeps the fourth place")

  local c = update.tocomponent("c3t4l1")
  eq(c.friendly, "mezra_english", "friendly")
  eq(c.version, "0.000.00", "pattern display")
  eq(c.extract, "c3t4v0.0.0l1p-1r-1o-1", "extract")

  -- id, display version
  local engine = "c2t1207960066"
  local versions = {
    { engine .. "v9.0005", "9.500" }, { engine .. "v9.0005.1007", "9.500.1007" },
    { "c2t1207960104v9.0125", "9.125" }, { "c2t5v9.5", "9.5" },
    { "c3t4v567", "0.005.67" }, { "c3t4v1.005", "1.005" }, { "c3t4v1.5.2", "1.5.2" },
    { "c22t2213v3.5", "3.500" }, { "c22t2213v3.05", "3.050" }, { "c22t2213v3", "3.0" },
    { "c5t4v7", "7.0" },
  }
  local b = 1234567
  for _, row in ipairs({ { 4, "12.345.67" }, { 0x20000020, "12.345.67" }, { 0x48040066, "12.345.67" },
                         { 0x4000000, "1234.567" }, { 0x4000001, "1234.567" }, { 0x40000010, "12345.67" },
                         { 0x48000100, "12.34567" }, { 99, "1234567" } }) do
    versions[#versions + 1] = { string.format("c3t%dv%d", row[1], b), row[2] }
  end
  for _, v in ipairs(versions) do
    eq(update.tocomponent(v[1]).version, v[2], "display " .. v[1])
  end

  local names = {
    { "c3t4l2", "mezra_china" }, { "c3t4l4", "mezra_japan" }, { "c3t4l3", "mezra_unknown" }, { "c3t4", "mezra_unknown" },
    { ("c3t%dl1"):format(0x48008000), "tolv_english" }, { ("c3t%dl9"):format(0x48008000), "tolv_unknown" }, { "c3t2048", "tarnel_cleanup" },
    { "c3t536870913", "ketho" }, { "c3t536870944", "quillmaw_white" }, { "c3t536870976", "quillmaw_black" },
    { "c3t536871936", "mezra_spyware" }, { "c3t1073741840", "pelgo_k6" }, { "c3t1082130432", "vorlak_white_list" },
    { "c3t1208221798", "nimbrel" }, { "c22t2213", "vkru" }, { "c22t2214", nil }, { "c4t4", nil },
  }
  for _, n in ipairs(names) do
    eq(update.tocomponent(n[1]).friendly, n[2], "friendly " .. n[1])
  end
end)

group("result table", function()
  relay.setinformation("get", {
    { klass = 3, type = 4, language = 1, items = { { klass = 3, type = 4, language = 1, major = 567 },
                                                   { klass = 3, type = 4, language = -10 },
                                                   { klass = 3, type = 99 } } },
    { klass = 3, type = 4, language = 1, items = { { klass = 22, type = 2213 } } },
  })
  local r, code = update.list("/repo", "c3t4")
  eq(code, 1, "list code")
  eq(r[1].name, "c3t4v0.0.0l1p-1r-1o-1", "product in product form")
  eq(r[2].name, "c3t4l1p-1r-1o-1", "item in component form")
  eq(r[2].version, "0.005.67", "item display version")
  eq(r[3], nil, "hidden item leaves a hole")
  eq(r[4].type, 99, "numbering goes on after the hole")
  eq(r[5].name, "c3t4v0.0.0l1p-1r-1o-1", "second product")
  eq(r.mezra_english, r[5], "a later entry replaces the friendly key")
  eq(r.vkru, r[6], "friendly key for an item")
  eq(collectgarbage("isrunning"), true, "the collector runs again after the conversion")
  eq(relay.calls("DestroyData"), 1, "information freed")
  released("list")

  relay.setinformation("get", nil)
  r, code = update.list("/repo", "c3t4")
  eq(r, nil, "no information gives nil")
  eq(code, 1, "with the status")

  relay.setstatus("GetInformation", -7)
  relay.setinformation("get", { { klass = 3, type = 4 } })
  r, code = update.list("/repo", "c3t4")
  eq(r, nil, "failure gives nil")
  eq(code, -7, "failure code")
  released("failed list that still handed back information")
end)

group("products and sources", function()
  update.list("/repo", "c3t4")
  local one = relay.request("get")
  update.list("/repo", { "c3t4" })
  local listed = relay.request("get")
  eq(#one.products, 1, "one product from a string")
  eq(#listed.products, 1, "one product from a table")
  eq(listed.products[1].klass * 10 + listed.products[1].type, 34, "product entity")
  eq(listed.products[1].language, -1, "unset language")
  update.list("/repo", {})
  eq(#relay.request("get").products, 0, "empty table, no products")
  raises("bad product", "invalid product class", update.list, "/repo", { "c3t4", "x" })
  raises("products of the wrong type", "expected products", update.list, "/repo", true)
  raises("repository of the wrong type", "expected repository path", update.list, {}, "c3t4")

  update.list("/repo", "c3t4", "http://a")
  local s = relay.request("get").sources
  eq(#s, 1, "a text is one source")
  eq(s[1].url, "http://a", "its url")
  eq(s[1].proxy, nil, "without proxy")

  update.list("/repo", "c3t4", { { url = "a", proxy = { host = "h", port = 8080.9, type = 0, user = "u" } },
                                 { url = 5, proxy = { port = 70000, type = "1" } }, "not a table", { url = {} } })
  s = relay.request("get").sources
  eq(#s, 4, "four sources")
  eq(s[1].proxy.port, 8080, "port truncated")
  eq(s[1].proxy.type, 0, "type 0")
  eq(s[1].proxy.host, "h", "host")
  eq(s[1].proxy.user, "u", "user")
  eq(s[1].proxy.password, nil, "no password")
  eq(s[2].url, "5", "numeric url")
  eq(s[2].proxy.port, 4464, "port kept in 16 bits")
  eq(s[2].proxy.type, 1, "non-zero type")
  eq(s[3].url, nil, "non-table element is empty")
  eq(s[3].proxy, nil, "and has no proxy")
  eq(s[4].url, nil, "url of the wrong type")

  local proxied = setmetatable({}, { __len = function() return 2 end,
                                     __index = function(_, i) return { url = "u" .. i } end })
  update.list("/repo", "c3t4", proxied)
  s = relay.request("get").sources
  eq(#s, 2, "__len is honoured")
  eq(s[2].url, "u2", "elements through __index")

  update.list("/repo", "c3t4", setmetatable({}, { __len = function() return 10000 end }))
  eq(#relay.request("get").sources, 10000, "10000 sources accepted")
  for _, length in ipairs({ 10001, -1, 1e12, 2^53, 0/0, "many", 1.5 }) do
    local t = setmetatable({}, { __len = function() return length end })
    raises("sources length " .. tostring(length), "invalid number of sources", update.list, "/repo", "c3t4", t)
  end
  local failing = setmetatable({}, { __len = function() return 3 end,
                                     __index = function(_, i) if i == 2 then error("no element", 0) end return { url = "a" } end })
  raises("element that raises", "no element", update.list, "/repo", "c3t4", failing)
  raises("sources of the wrong type", "expected sources", update.list, "/repo", "c3t4", true)
  released("products and sources")
end)

group("options", function()
  update.list("/repo", "c3t4", nil, { maxmerge = "5" })
  local o = relay.options()
  eq(#o, 1, "one option set")
  eq(o[1][1] * 100 + o[1][2], 1005, "option 10 set to 5")
  update.list("/repo", "c3t4", nil, { buildpatch = true })
  eq(relay.options()[2][1] * 100 + relay.options()[2][2], 901, "boolean option")
  for _, c in ipairs({ { "maxbandwidth", 0 }, { "diffcount", 11 }, { "keepcount", 12 }, { "httpslevel", 15 } }) do
    relay.reset()
    update.list("/repo", "c3t4", nil, { [c[1]] = 7 })
    eq(relay.options()[1][1], c[2], c[1] .. " id")
  end
  local bad = {
    { { maxmerge = "x" }, "maxmerge must be a integer" }, { { buildpatch = 1 }, "buildpatch must be a boolean" },
    { { progress = 1 }, "progress must be a function" }, { { colour = 1 }, "colour is not a valid option" },
    { { [1] = 1 }, "1 is not a valid option" }, { { [true] = 1 }, "options must be named" },
    { { vt = 1 }, "vt must be boolean" }, { { removevt = 1 }, "removevt must be a function" },
    { { unknown = 1 }, "unknown must be a function" }, { 5, "not a table of options" },
  }
  for i, c in ipairs(bad) do
    raises("options case " .. i, c[2], update.list, "/repo", "c3t4", { "http://a", { url = "b", proxy = { host = "h" } } }, c[1])
  end
  update.list("/repo", "c3t4", nil, { progress = function() end, downloadend = function() end, unknown = function() end })
  local subs = relay.subscriptions()
  table.sort(subs)
  eq(table.concat(subs, ","), "1,5", "subscribed by event name only")
  released("options")
end)

group("events", function()
  local seen = {}
  relay.addevent({ type = 1, message = true, total = 10, finished = 4, information = { 0x61, 0xE9 } })
  relay.addevent({ type = 1 })
  relay.addevent({ type = 4, message = true, total = 1, finished = 0 })
  relay.addevent({ type = 9, any = true, message = true })
  relay.addevent({ type = 2, any = true })
  local answers = { true, nil, "yes" }
  local n = 0
  update.list("/repo", "c3t4", nil, {
    progress = function(e) n = n + 1; seen[#seen + 1] = e; return answers[n] end,
    downloadbegin = function() error("handler failed") end,
    unknown = function(e) seen[#seen + 1] = e end,
  })
  local results = relay.callbackresults()
  eq(table.concat(results, ","), "0,1,0,1,1", "callback results")
  eq(seen[1].type, "progress", "event type")
  eq(seen[1].total, 10, "total")
  eq(seen[1].finished, 4, "finished")
  eq(seen[1].information, "a?", "information narrowed")
  eq(seen[2].total, nil, "no message, no counters")
  eq(seen[3].type, "unknown", "out-of-range type")
  eq(seen[3].information, nil, "no information text")
  eq(#seen, 3, "removebegin has no handler")

  relay.reset()
  relay.addevent({ type = 1 })
  update.list("/repo", "c3t4", nil, { progress = function() error() end })
  eq(relay.callbackresults()[1], 1, "an error with a nil value counts as false")
  released("events")
end)

group("filtered downloads", function()
  local info = {
    { klass = 1, type = 1, items = { { klass = 3, type = 4 }, { klass = 2, type = 7 }, { klass = 3, type = 5 } } },
    { klass = 1, type = 2, items = { { klass = 2, type = 7 } } },
    { klass = 1, type = 3, items = { { klass = 22, type = 2213 }, { klass = 22, type = 2214 } } },
  }
  local function request(f, ...)
    relay.reset()
    relay.setinformation("get", info)
    relay.setinformation("dup", { { klass = 9, type = 9 } })
    local r, code = f("/repo", "c1t1", nil, ...)
    local req = relay.request("dup")
    local parts = {}
    for _, p in ipairs(req and req.products or {}) do
      local items = {}
      for _, i in ipairs(p.items) do items[#items + 1] = i.klass .. "/" .. i.type end
      parts[#parts + 1] = p.type .. ":" .. table.concat(items, " ")
    end
    eq(relay.calls("DestroyData"), 2, "listed and downloaded informations freed")
    released("filtered download")
    return table.concat(parts, ";"), r, code
  end
  local got, r = request(update.patterns, { vt = true })
  eq(got, "1:3/4 3/5;3:22/2213", "patterns")
  eq(r[1].klass, 9, "the download's information is returned")
  eq(request(update.patternsExceptMezra, { vt = true }), "1:3/5;3:22/2213", "patterns except mezra")
  eq(request(update.components, nil, { "c2t7l3", "c22t2214" }), "1:2/7;2:2/7;3:22/2214", "components")
  eq(request(update.components, nil), "", "components without argument 5")
  eq(relay.request("dup").productsnull, true, "an empty request")
  raises("bad filter", "invalid product type", update.components, "/repo", "c1t1", nil, nil, { "c1" })
  released("bad filter")

  relay.reset()
  relay.setstatus("GetInformation", -5)
  relay.setinformation("get", info)
  local _, code = update.patterns("/repo", "c1t1", nil, { vt = true })
  eq(code, -5, "listing failure is the result")
  eq(relay.calls("Duplicate"), 0, "no download after a failed listing")
  released("failed listing")

  relay.reset()
  relay.setinformation("get", { { klass = 3, type = 4, absurd = true } })
  local r2, code2 = update.patterns("/repo", "c3t4", nil, { vt = true })
  eq(r2, nil, "storage that cannot be allocated gives nil")
  eq(code2, -4, "and status -4")
  eq(relay.calls("Duplicate"), 0, "nothing downloaded")
  released("-4")
end)

group("removal step and removevt", function()
  local dir = tmpdir()
  local p = dir .. "/packages/"
  local function populate()
    touch(dir .. "/server.ini", "old")
    for _, n in ipairs({ "a.zip", "pattern-123_merged.zip", "pattern-12345.zip", "pattern-12345.txt", "engine-000001.zip" }) do
      touch(p .. n)
    end
  end

  populate()
  eq(update.removevt(dir), true, "removevt")
  eq(slurp(dir .. "/server.ini"), STUB, "server.ini rewritten")
  eq(exists(p .. "a.zip"), true, "short name kept")
  eq(exists(p .. "pattern-123_merged.zip"), true, "merged kept")
  eq(exists(p .. "pattern-12345.zip"), false, "package deleted")
  eq(exists(p .. "pattern-12345.txt"), true, "non-zip kept")

  populate()
  local asked = {}
  update.removevt(dir .. "/", function(path)
    asked[#asked + 1] = path
    if path:find("pattern") then return true end
    error("keep this one too")
  end)
  table.sort(asked)
  eq(table.concat(asked, ","), p .. "engine-000001.zip," .. p .. "pattern-12345.zip", "handler asked per path")
  eq(exists(p .. "pattern-12345.zip"), true, "handler returning true keeps")
  eq(exists(p .. "engine-000001.zip"), true, "handler raising keeps")

  local empty = tmpdir()
  local r, message = update.removevt(empty)
  eq(r, nil, "not a repository")
  eq(message, empty .. " is not a repository", "message")
  raises("removevt path", "expected repository path", update.removevt, nil)
  raises("removevt handler", "expected function", update.removevt, dir, 1)

  -- everything: failure status still clears; vt = true leaves alone; list never clears
  populate()
  relay.setstatus("Duplicate", -7)
  local _, code = update.everything(dir, "c3t4")
  eq(code, -7, "download failure returned")
  eq(slurp(dir .. "/server.ini"), STUB, "cleared after a failed download")
  eq(exists(p .. "pattern-12345.zip"), false, "packages cleared after a failed download")

  local called = false
  for _, options in ipairs({ { vt = true, removevt = function() called = true end }, { vt = true } }) do
    populate()
    update.everything(dir, "c3t4", nil, options)
    eq(slurp(dir .. "/server.ini"), "old", "vt = true leaves server.ini")
    eq(exists(p .. "pattern-12345.zip"), true, "vt = true leaves packages")
  end
  populate()
  update.list(dir, "c3t4", nil, { removevt = function() called = true end })
  eq(slurp(dir .. "/server.ini"), "old", "list never clears")
  eq(called, false, "handler never called when the step is off")

  populate()
  local results = { update.everything(dir, "c3t4", nil, { removevt = function() error("x") end, vt = false }) }
  eq(results[2], -7, "removal errors do not change the results")
  eq(exists(p .. "pattern-12345.zip"), true, "mode 2 passes the handler")
  os.execute("rm -rf '" .. dir .. "' '" .. empty .. "'")
  released("removal")
end)

group("extract and contexts", function()
  local r, code = update.extract("/repo", { extract = "c3t4v1.5.0" }, "/tmp/out")
  eq(r, true, "extract")
  local e = relay.export()
  eq(table.concat({ e.klass, e.type, e.major, e.minor, e.build, e.language, e.platform, e.region, e.oem }, " "),
     "3 4 1 5000 0 -1 -1 -1 -1", "exported entity")
  eq(e.destination, "/tmp/out", "destination")
  raises("extract destination", "expected destination directory", update.extract, "/repo", "c3t4", nil)
  raises("extract component", "invalid product class", update.extract, "/repo", "x", "/tmp/out")
  raises("extract component table", "expected product id string", update.extract, "/repo", {}, "/tmp/out")
  relay.setstatus("ExportComponent", -12)
  r, code = update.extract("/repo", "c3t4", "/tmp/out")
  eq(r, nil, "failed export")
  eq(code, -12, "export code")
  released("extract")

  relay.reset()
  relay.setstatus("CreateContext", -3)
  local msg
  r, code, msg = update.everything("/repo", "c3t4", nil, { progress = 1 })
  eq(r, nil, "failed context")
  eq(code, -3, "context code")
  eq(msg, "ok", "context message")
  eq(relay.calls("DestroyContext"), 0, "nothing to destroy")
  r, code = update.extract("/repo", "c3t4", "/tmp/out")
  eq(code, -3, "extract on a failed context")

  relay.reset()
  update.list("/tmp/d\195\169j\195\160/\255x", "c3t4")
  eq(table.concat(relay.repositorycodes(), ","), "47,116,109,112,47,100,233,106,224,47,65533,120",
     "repository path decoded from UTF-8")
  update.list(12, "c3t4")
  eq(relay.repository(), "12", "numeric repository")
end)

group("errors half-way through a conversion", function()
  -- Each call raises after some C buffers were already filled: the products before the bad
  -- one, sources with their proxy strings, options already applied. The memcheck run and the
  -- sanitizer build report any buffer that the raise leaves behind.
  local proxy = { host = "proxy.example", user = "user", password = "secret", port = 8080 }
  local sources = { { url = "http://a", proxy = proxy }, { url = "http://b", proxy = proxy } }
  local third = setmetatable({}, { __len = function() return 3 end,
                                   __index = function(_, i) if i == 3 then error("no element", 0) end return sources[i] end })
  local password = setmetatable({ host = "h", user = "u" },
                                { __index = function(_, k) if k == "password" then error("no password", 0) end end })
  local cases = {
    { "third product", "invalid field", update.everything, "/repo", { "c3t4", "c2t5", "c3t4x1" }, sources },
    { "third source", "no element", update.list, "/repo", { "c3t4", "c2t5" }, third },
    { "proxy field", "no password", update.list, "/repo", "c3t4", { sources[1], { url = "http://b", proxy = password } } },
    { "option", "colour is not a valid option", update.everything, "/repo", { "c3t4", "c2t5" }, sources,
      { progress = function() end, maxmerge = 2, vt = true, colour = 1 } },
    { "filter", "invalid product class", update.components, "/repo", { "c3t4", "c2t5" }, sources,
      { progress = function() end }, { "c3t4", "x" } },
  }
  for _, c in ipairs(cases) do
    raises(c[1], c[2], table.unpack(c, 3))
  end
  eq(relay.calls("GetInformation") + relay.calls("Duplicate"), 0, "the relay is never called")
  released("errors half-way through a conversion")
end)

print(string.format("%d checks, %d failures", checks, failures))
os.exit(failures == 0 and 0 or 1)
