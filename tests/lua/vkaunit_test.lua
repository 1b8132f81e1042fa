-- Tests of the sample agent's unit-test runner (tests.vkaunit), run by a plain Lua 5.2
-- interpreter with the sample agent's folder first on package.path.

local runner = require('tests.vkaunit')

-- A scratch folder of this test's own, emptied first.
local root = assert(os.getenv('VKAUNIT_TMP'), 'VKAUNIT_TMP must name a scratch folder')
assert(os.execute("rm -rf '" .. root .. "' && mkdir -p '" .. root .. "'"))

local function write(name, text)
  local f = assert(io.open(root .. '/' .. name, 'w'))
  f:write(text)
  f:close()
  return root .. '/' .. name
end

os.execute("mkdir -p '" .. root .. "/many/sub_test.lua' '" .. root .. "/empty'")

local passing = [[
local lu = require('luaunit')
TestA = {}
function TestA.testOne() lu.assertEquals(1, 1) end
function testTwo() lu.assertTrue(true) end
]]
-- Two failures and one error; the helper is not a test.
local failing = [[
local lu = require('luaunit')
TestA = {}
function TestA.testFails() lu.assertEquals(1, 2) end
function TestA.testErrors() error('boom') end
function testAlsoFails() lu.assertFalse(true) end
function helper() error('never called') end
]]

write('pass_test.lua', passing)
write('fail_test.lua', failing)
write('syntax_test.lua', 'function testBad( lu.assertTrue(true) end\n')
write('raises_test.lua', "error('cannot load')\n")
write('many/a_test.lua', passing)
write('many/b_test.lua', failing)
write('many/.hidden_test.lua', failing)
write('many/notes.txt', failing)

local cases = {
  { 'passing file', 'pass_test.lua', 0 },
  { 'failures and errors are counted', 'fail_test.lua', 3 },
  { 'file that does not compile', 'syntax_test.lua', 1, 'syntax_test.lua:1:' },
  { 'file that raises while loading', 'raises_test.lua', 1, 'cannot load' },
  { 'missing file', 'missing.lua', 1, 'missing.lua: not found' },
  -- Same test names in two files: both run (2 passing + 3 failing), hidden and
  -- non-matching files and the folder named like a test are left out.
  { 'wildcard over several files', 'many/*_test.lua', 3 },
  { 'single-character wildcard', 'many/?_test.lua', 3 },
  { 'wildcard without matches', 'empty/*.lua', 1, 'no test files match' },
  { 'wildcard in a missing folder', 'nowhere/*.lua', 1, 'no test files match' },
  { 'empty argument', '', 1, 'no test file given', true },
  -- The script arguments are LuaUnit's options and test names.
  { 'pattern and exclusion', 'fail_test.lua', 1, nil, false, { '-q', '-p', 'TestA', '-x', 'Errors' } },
  { 'test names in every file', 'many/*_test.lua', 2, nil, false, { 'TestA', 'testTwo' } },
  { 'test method only where it exists', 'many/*_test.lua', 0, nil, false, { 'TestA.testOne' } },
  { 'unknown test name', 'pass_test.lua', 1, 'no test named testNone', false, { 'testNone' } },
  { 'unknown option', 'pass_test.lua', 1, nil, false, { '--bogus' } },
}

local realStderr = io.stderr
local failures = 0
for _, case in ipairs(cases) do
  local title, target, expected, message, bare = case[1], case[2], case[3], case[4], case[5]
  arg = case[6] or {}
  arg[0] = 'vk_agent'
  local captured = {}
  io.stderr = { write = function(self, ...) for _, s in ipairs({ ... }) do captured[#captured + 1] = s end return self end }
  local ok, result = pcall(runner, bare and target or (root .. '/' .. target))
  io.stderr = realStderr
  local text = table.concat(captured)
  local good = ok and result == expected and (message == nil or string.find(text, message, 1, true) ~= nil)
  if not good then
    failures = failures + 1
    realStderr:write(string.format('FAIL %s: got %s %s, stderr %q; expected %d%s\n', title,
      tostring(ok), tostring(result), text, expected, message and (' and ' .. message) or ''))
  end
end

print(string.format('vkaunit runner: %d of %d cases failed', failures, #cases))
os.exit(failures == 0 and 0 or 1)
