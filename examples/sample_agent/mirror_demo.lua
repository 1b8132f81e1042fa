-- Mirrors the sample update source into a local repository and exports one component.
--
--   local demo = require("mirror_demo")
--   demo.run("/tmp/demo", "/opt/vk_agent/examples/update_source")
--
-- run returns 0 on success, otherwise the failing relay status code.

local M = {}

-- Everything the sample source offers: the English patterns, the clean-up rules, the engine.
M.products = { "c3t4l1", "c3t2048", "c2t1207960066" }

local function report(event)
  if event.type == "progress" then
    print(string.format("  %s: %d of %d bytes", event.information or "?", event.finished, event.total))
  elseif event.type == "download" then
    print("  mirrored " .. (event.information or "?"))
  elseif event.information then
    print("  " .. event.type .. " " .. event.information)
  end
end

function M.run(workdir, sourcedir)
  local update = require("update")
  local repository = workdir .. "/repository"
  local export = workdir .. "/export"

  print("mirroring " .. sourcedir .. " into " .. repository)
  local info, code, message = update.everything(repository, M.products, sourcedir, {
    -- Keep the mirror: without vt = true the download is followed by the repository clean-up.
    vt = true,
    downloadbegin = report,
    progress = report,
    downloadend = report,
    download = report,
    removebegin = report,
    removefailed = report,
  })
  if not info then
    print(string.format("mirror failed: %d %s", code, message))
    return code
  end
  for _, entity in ipairs(info) do
    print(string.format("  %-48s %s", entity.name, entity.version))
  end

  -- The English pattern table names the newest one listed; its extract field names it exactly.
  local pattern = info.mezra_english or "c3t4l1"
  local ok, xcode, xmessage = update.extract(repository, pattern, export)
  if not ok then
    print(string.format("export failed: %d %s", xcode, xmessage))
    return xcode
  end
  print("exported " .. (type(pattern) == "table" and pattern.extract or pattern) .. " into " .. export)
  return 0
end

return M
