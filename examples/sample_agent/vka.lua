-- Small helpers shared by the sample agent's modules (packed into vka.vke).

local vka = {}

-- The value of a domain variable, or default when it is unset (or when no domain
-- object is bound, as in a plain Lua interpreter).
function vka.get(key, default)
  local d = rawget(_G, 'dom')
  if d == nil then
    return default
  end
  local value = d:Get(key)
  if value == nil then
    return default
  end
  return value
end

-- Splits text at every occurrence of sep (a plain string, not a pattern); empty pieces
-- are dropped, so an unset list and an empty list both give {}.
function vka.split(text, sep)
  local pieces = {}
  if text == nil or text == '' then
    return pieces
  end
  local start = 1
  while true do
    local first, last = string.find(text, sep, start, true)
    local piece = string.sub(text, start, first and first - 1 or #text)
    if piece ~= '' then
      pieces[#pieces + 1] = piece
    end
    if not first then
      break
    end
    start = last + 1
  end
  return pieces
end

-- The words after "--" on the command line (the host puts them at arg[1], arg[2], ...).
function vka.scriptArgs()
  local words = {}
  local a = rawget(_G, 'arg')
  if type(a) ~= 'table' then
    return words
  end
  local i = 1
  while a[i] ~= nil do
    words[i] = a[i]
    i = i + 1
  end
  return words
end

-- print with string.format.
function vka.printf(fmt, ...)
  print(string.format(fmt, ...))
end

-- The file-name part of a path.
function vka.basename(path)
  return (string.match(path, '([^/]*)$'))
end

return vka
