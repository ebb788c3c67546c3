# What `cmake --install` puts on the system: the two programs, the desktop
# entry and its icons, the service unit, its default settings and the man
# pages. The service paths follow the prefix given at install time
# (`cmake --install build --prefix /usr`), so one build tree serves both a
# source install under /usr/local and the Debian package under /usr.
include(GNUInstallDirs)

set(_kestrune_packaging ${CMAKE_SOURCE_DIR}/packaging)

if(TARGET kestrune)
  install(TARGETS kestrune RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${_kestrune_packaging}/kestrune.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(_size 16 32 48 64 128 256)
    install(FILES ${_kestrune_packaging}/icons/${_size}x${_size}/kestrune.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps)
  endforeach()
  install(FILES ${_kestrune_packaging}/kestrune.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(TARGET kestruned)
  install(TARGETS kestruned RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${_kestrune_packaging}/kestruned.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  # systemd reads units from /usr/lib and from /usr/local/lib alike, so the
  # unit goes under the prefix rather than the multiarch library directory.
  set(KESTRUNE_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
      "Directory of the systemd unit, relative to the install prefix")

  # The unit as committed names /usr/bin and /etc/kestrune; another prefix
  # gets its own paths. The settings file follows the GNU rule that /usr keeps
  # its configuration in /etc, and is never overwritten once it exists there,
  # since the administrator edits it.
  install(CODE "
    set(_unit_src \"${_kestrune_packaging}/kestruned.service\")
    set(_ini_src \"${_kestrune_packaging}/Kestrune.ini\")
    set(_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(_etcdir \"${CMAKE_INSTALL_SYSCONFDIR}\")
    set(_unitdir \"${KESTRUNE_SYSTEMD_UNIT_DIR}\")
    set(_stage \"${CMAKE_CURRENT_BINARY_DIR}/kestrune-install\")
  ")
  install(CODE [[
    if(NOT IS_ABSOLUTE "${_bindir}")
      set(_bindir "${CMAKE_INSTALL_PREFIX}/${_bindir}")
    endif()
    if(IS_ABSOLUTE "${_etcdir}")
      set(_confdir "${_etcdir}/kestrune")
    elseif(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
      set(_confdir "/${_etcdir}/kestrune")
    else()
      set(_confdir "${CMAKE_INSTALL_PREFIX}/${_etcdir}/kestrune")
    endif()
    if(NOT IS_ABSOLUTE "${_unitdir}")
      set(_unitdir "${CMAKE_INSTALL_PREFIX}/${_unitdir}")
    endif()

    file(READ "${_unit_src}" _unit)
    string(REPLACE "/usr/bin/kestruned" "${_bindir}/kestruned" _unit "${_unit}")
    string(REPLACE "/etc/kestrune/" "${_confdir}/" _unit "${_unit}")
    # Installs into different prefixes may run side by side (the tests do).
    string(MD5 _key "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(WRITE "${_stage}/${_key}/kestruned.service" "${_unit}")
    file(INSTALL DESTINATION "${_unitdir}" TYPE FILE FILES "${_stage}/${_key}/kestruned.service")
    file(REMOVE_RECURSE "${_stage}/${_key}")

    if(EXISTS "$ENV{DESTDIR}${_confdir}/Kestrune.ini")
      message(STATUS "Keeping: $ENV{DESTDIR}${_confdir}/Kestrune.ini")
    else()
      file(INSTALL DESTINATION "${_confdir}" TYPE FILE FILES "${_ini_src}")
    endif()
  ]])
endif()
