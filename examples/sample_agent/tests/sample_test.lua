-- Example tests for the sample agent's helpers; run them with vk_agent -u <this file>.

local lu = require('luaunit')
local vka = require('vka')

TestSplit = {}

function TestSplit.testCutsAtEverySeparator()
  lu.assertEquals(vka.split('a;b;c', ';'), { 'a', 'b', 'c' })
end

function TestSplit.testDropsEmptyPieces()
  lu.assertEquals(vka.split(';a;;b;', ';'), { 'a', 'b' })
  lu.assertEquals(vka.split('', ';'), {})
  lu.assertEquals(vka.split(nil, ';'), {})
end

function TestSplit.testSeparatorIsPlainText()
  lu.assertEquals(vka.split('a.b', '.'), { 'a', 'b' })
end

function testBasename()
  lu.assertEquals(vka.basename('/opt/agent/vka_core/vka.vke'), 'vka.vke')
  lu.assertEquals(vka.basename('plain'), 'plain')
end

function testGetFallsBackToTheDefault()
  lu.assertEquals(vka.get('sample.no.such.key', 'fallback'), 'fallback')
end
