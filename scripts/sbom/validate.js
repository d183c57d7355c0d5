// Validates CycloneDX JSON files against the official schema of the version
// each one declares, with the validator of @cyclonedx/cyclonedx-library
// (which bundles the schemas and runs them with ajv). Prints "valid" or
// the schema's errors for each file; exits 1 when any file is not valid.
'use strict'
const fs = require('fs')
const { Spec, Validation } = require('@cyclonedx/cyclonedx-library')

async function validateFile (file) {
  let text, version
  try {
    text = fs.readFileSync(file, 'utf8')
    version = JSON.parse(text).specVersion
  } catch (error) {
    return `${file}: not JSON: ${error.message}`
  }
  if (!Object.values(Spec.Version).includes(version)) {
    return `${file}: no CycloneDX specVersion this validator knows: ${JSON.stringify(version)}`
  }
  const errors = await new Validation.JsonStrictValidator(version).validate(text)
  if (errors === null) {
    console.log(`${file}: valid CycloneDX ${version} (official JSON schema, strict)`)
    return null
  }
  return `${file}: not valid CycloneDX ${version}:\n${JSON.stringify(errors, null, 2)}`
}

async function main (files) {
  if (files.length === 0) {
    console.error('usage: node validate.js FILE.cdx.json...')
    return 2
  }
  let status = 0
  for (const file of files) {
    const problem = await validateFile(file)
    if (problem !== null) {
      console.error(problem)
      status = 1
    }
  }
  return status
}

main(process.argv.slice(2)).then(code => { process.exitCode = code })
