-- The unit-test runner: vkaunit(target) runs the LuaUnit tests of one file, or of every file
-- that a wildcard pattern matches, and returns the number of tests that did not pass
-- (failures and errors), plus one for every file that could not be found or loaded.
--
-- target is a file path; "*" and "?" in its file-name part match any run of characters and
-- one character (names beginning with "." are never matched). The directory part is
-- literal. Relative paths are taken against the current working directory.

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

  local broken = 0
  local tests = {}
  for _, path in ipairs(files) do
    local found, err = loadTests(lu, path)
    if found == nil then
      report('%s', err)
      broken = broken + 1
    else
      for _, t in ipairs(found) do
        tests[#tests + 1] = t
      end
    end
  end

  -- Options are given explicitly: without them LuaUnit would read the global arg table,
  -- which holds the agent's own script arguments.
  local runner = lu.LuaUnit.new()
  local failed = runner:runSuiteByInstances(tests, '--verbose')
  return failed + broken
end
