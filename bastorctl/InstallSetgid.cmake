# Run by cmake --install after bastorctl is copied: makes the helper's groups
# when they are missing, then gives bastorctl to root:nocta-bastor with mode
# 2755 (chown first: it clears the setgid bit).
if(NOT "$ENV{DESTDIR}" STREQUAL "")
    message(STATUS "Staged install: set ${BASTOR_CLIENT_FILE} to root:nocta-bastor, mode 2755, when installing for real")
    return()
endif()

foreach(group nocta-bastor ${BASTOR_USERS_GROUP})
    execute_process(COMMAND getent group ${group} RESULT_VARIABLE missing OUTPUT_QUIET)
    if(missing)
        execute_process(COMMAND systemd-sysusers ${BASTOR_SYSUSERS_FILE}
            RESULT_VARIABLE ignored OUTPUT_QUIET ERROR_QUIET)
        execute_process(COMMAND getent group ${group} RESULT_VARIABLE missing OUTPUT_QUIET)
    endif()
    if(missing)
        execute_process(COMMAND groupadd --system ${group} RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "cannot create the group ${group}")
        endif()
    endif()
endforeach()

execute_process(COMMAND chown root:nocta-bastor ${BASTOR_CLIENT_FILE} RESULT_VARIABLE failed)
if(NOT failed)
    execute_process(COMMAND chmod 2755 ${BASTOR_CLIENT_FILE} RESULT_VARIABLE failed)
endif()
if(failed)
    message(FATAL_ERROR "cannot make ${BASTOR_CLIENT_FILE} root:nocta-bastor, mode 2755")
endif()
message(STATUS "Set: ${BASTOR_CLIENT_FILE} root:nocta-bastor, mode 2755")
