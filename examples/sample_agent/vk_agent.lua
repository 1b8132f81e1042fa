-- The sample agent's application module: shows what the host hands to the agent's Lua code
-- (domain variables, script arguments, the archive list) and ends with status 0.

local vka = require('vka')

local agent = {}

-- Domain variables worth a look; unset ones are shown as such.
local shown = {
  'app.version', 'app.path.bin', 'app.path.work', 'app.path.ini',
  'app.trace+', 'app.background', 'app.mode.unittest',
}

local function show(key)
  local value = vka.get(key)
  vka.printf('  %-18s %s', key, value == nil and '(unset)' or tostring(value))
end

function agent.init()
  vka.printf('%s %s: init', vka.get('app.name', '?'), vka.get('app.version', '?'))
  return 0
end

-- Mirrors the sample update source installed beside the executable into the work folder and
-- exports one component from the mirror; skipped when the tree carries no sample source.
local function mirrorSampleSource()
  local source = vka.get('app.path.bin', '.') .. '/examples/update_source'
  local index = io.open(source .. '/index.txt', 'r')
  if not index then
    print('No sample update source beside the executable; nothing to mirror.')
    return 0
  end
  index:close()
  return require('mirror_demo').run(vka.get('app.path.work', '.'), source)
end

function agent.main()
  local words = vka.scriptArgs()
  vka.printf('Hello from the sample agent. Script arguments: %s',
             #words > 0 and table.concat(words, ' ') or '(none)')

  print('Domain variables:')
  for _, key in ipairs(shown) do
    show(key)
  end

  local archives = vka.split(vka.get('app.lua.zippath'), ';')
  if #archives == 0 then
    print('Lua archives: none (modules come from the lua folder)')
  else
    print('Lua archives:')
    for _, path in ipairs(archives) do
      print('  ' .. path)
    end
  end

  if words[1] == 'demo' then
    -- Agent code can write back into the domain as well as read it.
    dom:Set('sample.greeted', 'yes')
    vka.printf('Wrote sample.greeted = %s into the domain.', tostring(vka.get('sample.greeted')))
    return mirrorSampleSource()
  end
  return 0
end

function agent.shutdown()
  print('Goodbye.')
  return 0
end

return agent
