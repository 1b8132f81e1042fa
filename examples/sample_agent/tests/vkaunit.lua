-- The unit-test runner: vkaunit(target) runs the LuaUnit tests of one file, or of every file
-- that a wildcard pattern matches. It returns 0 when every test passed; otherwise the number
-- of tests that did not pass (failures and errors) plus one for every file that could not be
-- found or loaded, capped at 255, so that an exit status never wraps round to 0.
--
-- target is a file path; "*" and "?" in its file-name part match any run of characters and
-- one character (names beginning with "." are never matched). The directory part is
-- literal. Relative paths are taken against the current working directory.
--
-- The script arguments (the words after "--", arg[1], arg[2], ...) are LuaUnit's own
-- command-line options: -p/-x select tests, -o junit -n FILE writes a JUnit report, -v/-q set
-- the verbosity, and bare words name the tests to run. The default verbosity is verbose.

local function report(fmt, ...)
  io.stderr:write('vkaunit: ', string.format(fmt, ...), '\n')
end

local function splitPath(target)
  local dir, name = string.match(target, '^(.*)/([^/]*)$')
  if dir == nil then
    return '.', target, ''
  end
  -- "/x" keeps "/" as its directory.
  return (dir == '' and '/' or dir), name, dir .. '/'
end

-- The Lua pattern that matches a whole file name against a glob.
local function globPattern(glob)
  local out = { '^' }
  for c in string.gmatch(glob, '.') do
    if c == '*' then
      out[#out + 1] = '.*'
    elseif c == '?' then
      out[#out + 1] = '.'
    elseif string.find(c, '^[%^%$%(%)%%%.%[%]%+%-]$') then
      out[#out + 1] = '%' .. c
    else
      out[#out + 1] = c
    end
  end
  out[#out + 1] = '$'
  return table.concat(out)
end

local function shellQuote(text)
  return "'" .. string.gsub(text, "'", "'\\''") .. "'"
end

-- Plain files of dir whose names match glob, sorted.
local function expandWildcard(target)
  local dir, glob, prefix = splitPath(target)
  local pattern = globPattern(glob)
  local files = {}
  -- Lua has no directory listing of its own. ls -1 prints one name per line and leaves
  -- out names that begin with "."; -p marks folders with a trailing "/" (-L: also links
  -- to folders), which the pattern then does not match.
  local listing = io.popen('ls -1pL ' .. shellQuote(dir) .. ' 2>/dev/null')
  if listing == nil then
    return files
  end
  for name in listing:lines() do
    if string.sub(name, 1, 1) ~= '.' and string.sub(name, -1) ~= '/' and string.match(name, pattern) then
      files[#files + 1] = prefix .. name
    end
  end
  listing:close()
  table.sort(files)
  return files
end

-- Loads one test file in an environment of its own, so that test names of different files
-- do not overwrite each other; returns its tests as LuaUnit { name, instance } pairs.
local function loadTests(lu, path)
  local env = setmetatable({}, { __index = _G })
  local chunk, err = loadfile(path, 't', env)
  if chunk == nil then
    return nil, err
  end
  local ok, runErr = pcall(chunk)
  if not ok then
    return nil, path .. ': ' .. tostring(runErr)
  end
  local names = {}
  for name, value in pairs(env) do
    if type(name) == 'string' and lu.LuaUnit.isTestName(name)
        and (type(value) == 'function' or type(value) == 'table') then
      names[#names + 1] = name
    end
  end
  table.sort(names)
  local tests = {}
  for _, name in ipairs(names) do
    tests[#tests + 1] = { name, env[name] }
  end
  return tests
end

-- The highest result: exit statuses keep only 8 bits, and 256 failures must not read as 0.
local kMaxResult = 255

local function exitStatus(notPassed)
  if notPassed <= 0 then
    return 0
  end
  return math.min(notPassed, kMaxResult)
end

-- The words after "--" on the agent's command line, which LuaUnit reads as its options.
-- Verbose output comes first, so that a -q among them still wins.
local function scriptArguments()
  local options = { '--verbose' }
  local script = rawget(_G, 'arg')
  if type(script) == 'table' then
    for i = 1, #script do
      options[#options + 1] = tostring(script[i])
    end
  end
  return options
end

-- The tests that bare words on the command line name ("TestClass", "TestClass.testMethod" or
-- "testFunction"), in that order; nil and a message when a name is not among the tests. Files
-- may use the same names, so a name selects its test in every file that has it.
local function selectByName(lu, tests, names)
  local selected = {}
  for _, name in ipairs(names) do
    local className, methodName = lu.LuaUnit.splitClassMethod(name)
    local found = false
    for _, t in ipairs(tests) do
      if className == nil and t[1] == name
          or t[1] == className and type(t[2]) == 'table' and t[2][methodName] ~= nil then
        selected[#selected + 1] = { name, t[2] }
        found = true
      end
    end
    if not found then
      return nil, 'no test named ' .. name
    end
  end
  return selected
end

-- A file that could not be loaded becomes a test of its own that fails with the load error,
-- so that the report (JUnit included) shows it and not an empty suite. ran[name] is set when
-- it has run.
local function loadErrorTest(path, err, ran)
  local name = 'load ' .. path
  return { name, function()
    ran[name] = true
    error(err, 0)
  end }
end

-- LuaUnit's -p/-x selection never leaves out a load error: it is not one of the file's tests.
local function keepLoadErrors(runner, loadErrors)
  local filter = runner.applyPatternFilter
  runner.applyPatternFilter = function(patterns, list)
    local kept, left = filter(patterns, list)
    local stillLeft = {}
    for _, t in ipairs(left) do
      if loadErrors[t[1]] then
        kept[#kept + 1] = t
      else
        stillLeft[#stillLeft + 1] = t
      end
    end
    return kept, stillLeft
  end
end

-- Runs the tests under LuaUnit with options; returns the number of tests that did not pass,
-- or nil and a message when the options are wrong. broken holds the load-error tests, which
-- run whatever the selection.
local function runTests(lu, tests, options, broken)
  local runner = lu.LuaUnit.new()
  local loadErrors = {}
  for _, t in ipairs(broken) do
    loadErrors[t[1]] = true
  end
  keepLoadErrors(runner, loadErrors)
  -- LuaUnit ends the process on a bad option, on --help and after an abort asked for with
  -- --error or --failure. The process is the agent's, whose exit path must run, so such an
  -- exit ends only this run. A test that calls os.exit fails with this text as its error.
  local realExit = os.exit
  local exitText = 'os.exit called during the test run'
  local exitCode
  os.exit = function(code)
    exitCode = code
    error(exitText, 0)
  end
  local ok, err = pcall(function()
    local names = runner:initFromArguments(table.unpack(options))
    local selected = tests
    if names ~= nil then
      local message
      selected, message = selectByName(lu, tests, names)
      if selected == nil then
        error(message, 0)
      end
    end
    for _, t in ipairs(broken) do
      selected[#selected + 1] = t
    end
    runner:registerSuite()
    runner:internalRunSuiteByInstances(selected)
    runner:unregisterSuite()
  end)
  os.exit = realExit
  runner:unregisterSuite()
  if ok then
    return runner.result.notSuccessCount
  end
  if err ~= exitText then
    return nil, tostring(err)
  end
  if exitCode == true or exitCode == 0 then
    return 0 -- --help or --version
  end
  -- An abort, or options LuaUnit refused (it has said why): never a success.
  return math.max(runner.result and runner.result.notSuccessCount or 0, 1)
end

return function(target)
  if type(target) ~= 'string' or target == '' then
    report('no test file given')
    return 1
  end

  local ok, lu = pcall(require, 'luaunit')
  if not ok then
    report('LuaUnit is not available: %s', tostring(lu))
    return 1
  end

  local files
  if string.find(target, '[%*%?]') then
    files = expandWildcard(target)
    if #files == 0 then
      report('%s: no test files match', target)
      return 1
    end
  else
    local f = io.open(target, 'r')
    if f == nil then
      report('%s: not found', target)
      return 1
    end
    f:close()
    files = { target }
  end

  local broken, ran = {}, {}
  local tests = {}
  for _, path in ipairs(files) do
    local found, err = loadTests(lu, path)
    if found == nil then
      report('%s', err)
      broken[#broken + 1] = loadErrorTest(path, err, ran)
    else
      for _, t in ipairs(found) do
        tests[#tests + 1] = t
      end
    end
  end

  local failed, err = runTests(lu, tests, scriptArguments(), broken)
  if failed == nil then
    report('%s', err)
    failed = 1
  end
  -- A load error that did not run as a test (an abort came first) still counts.
  for _, t in ipairs(broken) do
    if not ran[t[1]] then
      failed = failed + 1
    end
  end
  return exitStatus(failed)
end
