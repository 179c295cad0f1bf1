# Writes the autostart entry for the prefix being installed to. Run by `cmake --install` with
# QEL_AUTOSTART_TEMPLATE, QEL_AUTOSTART_WORK, QEL_INSTALL_DIR and QEL_AUTOSTART_DIR set before it.
if(IS_ABSOLUTE "${QEL_INSTALL_DIR}")
  set(daemon "${QEL_INSTALL_DIR}/TavrinDaemon.exe")
else()
  set(daemon "${CMAKE_INSTALL_PREFIX}/${QEL_INSTALL_DIR}/TavrinDaemon.exe")
endif()
if(IS_ABSOLUTE "${QEL_AUTOSTART_DIR}")
  set(destination "${QEL_AUTOSTART_DIR}")
elseif(QEL_AUTOSTART_DIR MATCHES "^etc/" AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
  # The system's own prefix keeps its configuration in /etc, where desktops look for autostart entries.
  set(destination "/${QEL_AUTOSTART_DIR}")
else()
  set(destination "${CMAKE_INSTALL_PREFIX}/${QEL_AUTOSTART_DIR}")
endif()

# Exec: one argument in double quotes, inside which \ " ` $ take a backslash; then, as for every string
# value of the entry, each backslash is doubled; a % is written %%.
set(exec "${daemon}")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "\"" "\\\"" exec "${exec}")
string(REPLACE "`" "\\`" exec "${exec}")
string(REPLACE "$" "\\$" exec "${exec}")
set(exec "\"${exec}\"")
string(REPLACE "\\" "\\\\" exec "${exec}")
string(REPLACE "%" "%%" exec "${exec}")
set(QEL_DESKTOP_EXEC "${exec}")
string(REPLACE "\\" "\\\\" QEL_DESKTOP_TRYEXEC "${daemon}")

# Made in a folder of the prefix's own: installs to other prefixes may run at the same time.
string(MD5 key "$ENV{DESTDIR}${destination}|${daemon}")
set(entry "${QEL_AUTOSTART_WORK}/autostart-${key}/qel-update.desktop")
configure_file("${QEL_AUTOSTART_TEMPLATE}" "${entry}" @ONLY)
file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${entry}")
file(REMOVE_RECURSE "${QEL_AUTOSTART_WORK}/autostart-${key}")
