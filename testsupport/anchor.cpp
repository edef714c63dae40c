// Fakes shared by the test suites live in this folder.
