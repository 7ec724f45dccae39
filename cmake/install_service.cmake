# Installs the service files: the systemd unit, the init script, the service's
# configuration and the program that assembles it for the daemon. Included by
# cmake_install.cmake, so the paths written into these files and the places
# outside the prefix follow the prefix actually installed to: the configured
# one, `cmake --install --prefix`, or /usr for the Debian package.
#
# Under /usr (or /) the init script and the configuration go to /etc, where init
# and the administrator look for them and which stays writable when /usr is
# not; the unit goes to /lib/systemd/system, Debian 12's place for the units of
# packages. Under any other prefix (/usr/local, /opt/vexlond, a staging tree)
# nothing is written outside it: <prefix>/etc and <prefix>/lib/systemd/system
# (systemd searches /usr/local/lib/systemd/system too; an init script there is
# linked into /etc/init.d by hand).
#
# Expects vx_source_dir, vx_work_dir, and vx_sbindir, vx_libexecdir and
# vx_docdir as GNUInstallDirs gives them (relative to the prefix, or absolute).

string(REGEX REPLACE "/+$" "" vx_root "${CMAKE_INSTALL_PREFIX}")
if(vx_root STREQUAL "" OR vx_root STREQUAL "/usr")
    set(vx_etc /etc)
    set(vx_unitdir /lib/systemd/system)
else()
    set(vx_etc "${vx_root}/etc")
    set(vx_unitdir "${vx_root}/lib/systemd/system")
endif()
foreach(dir sbindir libexecdir docdir)
    string(TOUPPER "VX_${dir}" var)
    if(IS_ABSOLUTE "${vx_${dir}}")
        set(${var} "${vx_${dir}}")
    else()
        set(${var} "${vx_root}/${vx_${dir}}")
    endif()
endforeach()
set(VX_SYSCONFDIR "${vx_etc}")

# Installs to different places may run at once (the package's tests do).
string(MD5 vx_hash "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
string(APPEND vx_work_dir "/${vx_hash}")
foreach(template vexlond.service vexlond.init service-config vexlond.conf)
    configure_file("${vx_source_dir}/dist/${template}.in" "${vx_work_dir}/${template}" @ONLY)
endforeach()

file(INSTALL DESTINATION "${vx_unitdir}" TYPE FILE FILES "${vx_work_dir}/vexlond.service")
file(INSTALL DESTINATION "${vx_etc}/init.d" TYPE PROGRAM RENAME vexlond
     FILES "${vx_work_dir}/vexlond.init")
file(INSTALL DESTINATION "${VX_LIBEXECDIR}/vexlond" TYPE PROGRAM
     FILES "${vx_work_dir}/service-config")
# An installed configuration is the administrator's: a new install keeps it.
if(EXISTS "$ENV{DESTDIR}${vx_etc}/vexlond.conf")
    message(STATUS "Kept: $ENV{DESTDIR}${vx_etc}/vexlond.conf")
else()
    file(INSTALL DESTINATION "${vx_etc}" TYPE FILE FILES "${vx_work_dir}/vexlond.conf")
endif()
