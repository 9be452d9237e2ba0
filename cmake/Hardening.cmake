# The hardening Debian gives its packages, in every build of this project: a
# root daemon that parses what clients send should not depend on how it was
# packaged. Each flag is added only when the toolchain accepts it.
include(CheckCXXCompilerFlag)
include(CheckLinkerFlag)
include(CheckPIESupported)

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(LANGUAGES CXX)

# format-security is checked together with the -Wformat it needs.
foreach(flags -fstack-protector-strong -fstack-clash-protection -fcf-protection
              "-Wformat -Werror=format-security")
    string(MAKE_C_IDENTIFIER "BASTOR_CXX_HAS ${flags}" result)
    check_cxx_compiler_flag("${flags}" ${result})
    if(${result})
        separate_arguments(flags UNIX_COMMAND "${flags}")
        add_compile_options(${flags})
    endif()
endforeach()

# _FORTIFY_SOURCE needs the optimiser, and under a sanitizer its checked
# copies would hide accesses from the sanitizer's own interceptors.
if(NOT BASTOR_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=")
    add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
endif()

foreach(flag LINKER:-z,relro LINKER:-z,now LINKER:-z,noexecstack)
    string(MAKE_C_IDENTIFIER "BASTOR_LD_HAS${flag}" result)
    check_linker_flag(CXX ${flag} ${result})
    if(${result})
        add_link_options(${flag})
    endif()
endforeach()
