-- The relay command: mirror, list and extract over the module update, one line each.
--
--   vk_agent -a relay -- mirror  REPOSITORY SOURCE [PRODUCT...]
--   vk_agent -a relay -- list    REPOSITORY SOURCE [PRODUCT...]
--   vk_agent -a relay -- extract REPOSITORY COMPONENT DESTINATION
--
-- Without PRODUCT, every product that a folder source's index names. main's result is the exit
-- status: 0 only when nothing failed.

local relay = {}

local USAGE = [[
usage: vk_agent -a relay -- mirror  REPOSITORY SOURCE [PRODUCT...]
       vk_agent -a relay -- list    REPOSITORY SOURCE [PRODUCT...]
       vk_agent -a relay -- extract REPOSITORY COMPONENT DESTINATION]]

local EXIT_FAILED, EXIT_USAGE = 1, 2

local function words()
  local a, out = rawget(_G, 'arg'), {}
  if type(a) == 'table' then
    local i = 1
    while a[i] ~= nil do out[i] = a[i]; i = i + 1 end
  end
  return out
end

-- The products of a folder source's index as "c<klass>t<type>" requests; nil for an http(s)
-- source, whose index only the relay reads.
local function sourceProducts(source)
  local folder = source:match('^file://localhost(/.*)$') or source:match('^file://(/.*)$') or
                 (source:sub(1, 1) == '/' and source) or nil
  local index = folder and io.open(folder:gsub('/+$', '') .. '/index.txt', 'r')
  if not index then return nil end
  local products, seen = {}, {}
  for line in index:lines() do
    local request = line:match('^%s*product%s+(c%d+t%d+)')
    if request and not seen[request] then
      seen[request] = true
      products[#products + 1] = request
    end
  end
  index:close()
  return products
end

local function productsFrom(args, first, source)
  if #args >= first then
    local products = {}
    for i = first, #args do products[#products + 1] = args[i] end
    return products
  end
  return sourceProducts(source)
end

-- Event handlers that count and print one line per package; tally holds the summary. They
-- return nothing: a true result would cancel the mirror.
local function counting(tally)
  local fetched = {}
  return {
    vt = true,  -- keep the repository: no removal step after the mirror
    downloadend = function(e)
      if e.information and e.information:match('%.zip$') and e.finished == e.total then
        fetched[e.information:sub(1, -5)] = true
        tally.fetched, tally.bytes = tally.fetched + 1, tally.bytes + e.total
      else
        tally.failed[#tally.failed + 1] = e.information or '?'
      end
    end,
    download = function(e)
      if fetched[e.information] then
        print(string.format('fetched %s (%d bytes)', e.information, e.total))
      else
        tally.held = tally.held + 1
        print(string.format('held    %s', e.information))
      end
    end,
  }
end

-- The repository, source and products of a command line; no products, with a message, when
-- an http(s) source is given without them.
local function operands(args, verb)
  local repository, source = args[2], args[3]
  local products = productsFrom(args, 4, source)
  if not products then print('name the products to ' .. verb .. ' from an http(s) source') end
  return repository, source, products
end

local function mirror(update, args)
  local repository, source, products = operands(args, 'mirror')
  if not products then return EXIT_USAGE end
  local tally = {held = 0, fetched = 0, bytes = 0, failed = {}}
  local info, code, message = update.everything(repository, products, source, counting(tally))
  print(string.format('held %d, fetched %d, failed %d, bytes %d', tally.held, tally.fetched, #tally.failed,
                      tally.bytes))
  for _, reason in ipairs(tally.failed) do print('failed: ' .. reason) end
  if not info then
    print(string.format('mirror of %s into %s: %s (%d)', source, repository, message, code))
    return EXIT_FAILED
  end
  return #tally.failed == 0 and 0 or EXIT_FAILED
end

local function list(update, args)
  local repository, source, products = operands(args, 'list')
  if not products then return EXIT_USAGE end
  local info, code, message = update.list(repository, products, source)
  if not info then
    print(string.format('list of %s: %s (%d)', source, message, code))
    return EXIT_FAILED
  end
  for i = 1, #info do
    print(string.format('%-44s %-12s %s', info[i].name, info[i].version, info[i].extract))
  end
  return 0
end

local function extract(update, args)
  local ok, code, message = update.extract(args[2], args[3], args[4])
  print(string.format('extract %s into %s: %s', args[3], args[4], message))
  return ok and 0 or EXIT_FAILED
end

local COMMANDS = {
  mirror = {run = mirror, least = 3},
  list = {run = list, least = 3},
  extract = {run = extract, least = 4, most = 4},
}

function relay.init() return 0 end

function relay.main()
  local args = words()
  local command = COMMANDS[args[1] or '']
  if not command or #args < command.least or (command.most and #args > command.most) then
    print(USAGE)
    return EXIT_USAGE
  end
  return command.run(require('update'), args)
end

function relay.shutdown() return 0 end

return relay
