# Fills the service templates for one installation and installs them under <prefix>/share,
# and the systemd unit also into VKA_SYSTEMD_UNIT_DIR when that is set (the package).
# In: VKA_SERVICE_SRC (templates), VKA_SERVICE_OUT (scratch folder), VKA_WORK (work folder),
# CMAKE_INSTALL_PREFIX and DESTDIR as cmake --install or cpack set them.
set(VKA_PREFIX "${CMAKE_INSTALL_PREFIX}")
# file(INSTALL) puts DESTDIR in front of its destination itself; other calls need it given.
set(share "${CMAKE_INSTALL_PREFIX}/share")
set(readable OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(runnable ${readable} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
foreach(item "vk_agent.service.in|systemd|vk_agent.service|readable"
             "vk_agent.xml.in|smf|vk_agent.xml|readable"
             "vk_agent.smf.in|smf|vk_agent|runnable")
  string(REPLACE "|" ";" item "${item}")
  list(GET item 0 in)
  list(GET item 1 folder)
  list(GET item 2 name)
  list(GET item 3 mode)
  configure_file("${VKA_SERVICE_SRC}/${in}" "${VKA_SERVICE_OUT}/${folder}/${name}" @ONLY)
  # The package fills the files a second time, over the tree's: never skip as up to date.
  file(REMOVE "$ENV{DESTDIR}${share}/${folder}/${name}")
  file(INSTALL "${VKA_SERVICE_OUT}/${folder}/${name}" DESTINATION "${share}/${folder}"
       PERMISSIONS ${${mode}})
endforeach()
if(VKA_SYSTEMD_UNIT_DIR)
  file(INSTALL "${VKA_SERVICE_OUT}/systemd/vk_agent.service"
       DESTINATION "${VKA_SYSTEMD_UNIT_DIR}" PERMISSIONS ${readable})
endif()
