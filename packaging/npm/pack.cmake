# Makes the web client's npm package (cmake -P, run by the linux build): the modules, README and
# package.json staged, type declarations generated from their JSDoc, then npm pack.
#   -DCLIENT=web/client -DSTAGE=dir -DOUT=file.tgz -DVERSION=x.y.z -DNODE=node -DNPM=npm -DTSC=tsc.js
cmake_minimum_required(VERSION 3.25)

file(READ ${CLIENT}/package.json manifest)
string(JSON declared GET "${manifest}" version)
if(NOT declared STREQUAL VERSION)
  message(FATAL_ERROR "${CLIENT}/package.json has version ${declared}, the project ${VERSION}: make them equal")
endif()

file(REMOVE_RECURSE ${STAGE})
file(GLOB modules ${CLIENT}/*.js)
file(COPY ${modules} ${CLIENT}/README.md ${CLIENT}/package.json DESTINATION ${STAGE})
file(GLOB staged ${STAGE}/*.js)
execute_process(COMMAND ${NODE} ${TSC} --allowJs --declaration --emitDeclarationOnly --target es2022 --module es2022
  --lib es2022,dom --outDir ${STAGE}/types ${staged} COMMAND_ERROR_IS_FATAL ANY)

get_filename_component(out_dir ${OUT} DIRECTORY)
execute_process(COMMAND ${NPM} pack --silent --pack-destination ${out_dir} WORKING_DIRECTORY ${STAGE}
  OUTPUT_VARIABLE packed OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
if(NOT EXISTS ${OUT})
  message(FATAL_ERROR "npm pack made ${packed}, not ${OUT}")
endif()
