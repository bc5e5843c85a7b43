# What `cmake --install` puts on the board, under DESTDIR:
#   /usr/bin        amp-bridge, vtl-net, swd-flash, amp-client
#   /usr/lib        libamp_api_protos.so
#   /etc, /opt/vtl  the board's own files from board/rootfs (init script and supervisor,
#                   Avahi service template, SDDP configurations, default network files)
#
# vtl-net goes beside the daemon in /usr/bin because the daemon runs it by name through the
# shell's PATH. The API library stays shared: every program that links it must carry the
# descriptors of every .proto file, which a static archive would drop (see
# protos/CMakeLists.txt), and the daemon and amp-client then share one copy on the flash.

# The board's layout, not this machine's: a plain install without a prefix means the board.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()
# The board's loader looks in lib, whatever multiarch layout the build machine uses.
set(AMP_INSTALL_BINDIR bin)
set(AMP_INSTALL_LIBDIR lib)

function(_amp_install_rules)
  # The tools are written in directories of their own and join when they are there.
  foreach(program amp-bridge vtl-net swd-flash amp-client)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${AMP_INSTALL_BINDIR})
    endif()
  endforeach()
  install(TARGETS amp_api_protos LIBRARY DESTINATION ${AMP_INSTALL_LIBDIR})

  # The board's files keep their absolute paths. The minimal BLE helper that the sandbox
  # needs is never installed: it would replace the board's own GATT server.
  if(EXISTS ${CMAKE_SOURCE_DIR}/board/rootfs)
    install(DIRECTORY ${CMAKE_SOURCE_DIR}/board/rootfs/ DESTINATION / USE_SOURCE_PERMISSIONS
            REGEX "/opt/vtl/ble/main\\.py$" EXCLUDE)
  endif()
endfunction()

cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _amp_install_rules)
