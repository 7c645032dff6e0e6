// The client side of the mrv33 extension: starts the mrvls language server
// for scenario sources and definition files and talks to it over its
// standard input and output, and runs mrvdap for the debugger type mrv33.
'use strict';
const vscode = require('vscode');
const { LanguageClient, TransportKind } = require('vscode-languageclient/node');

let client;

function serverOptions() {
  const config = vscode.workspace.getConfiguration('mrv33');
  const command = config.get('server.path') || 'mrvls';
  const args = [];
  const programDir = config.get('server.programDirectory');
  if (programDir) args.push('--program-dir', programDir);
  return { command, args, transport: TransportKind.stdio };
}

function activate(context) {
  const clientOptions = {
    documentSelector: [
      { scheme: 'file', language: 'mrv-scenario' },
      { scheme: 'file', language: 'mrv-definitions' },
      { scheme: 'untitled', language: 'mrv-scenario' },
    ],
    synchronize: {
      // A changed definition file, library or scenario changes what the
      // server knows about the title.
      fileEvents: vscode.workspace.createFileSystemWatcher('**/*.{def,DEF,so,SNA,sna,SNB,snb}'),
    },
  };
  // The debugger type mrv33: mrvdap speaks the Debug Adapter Protocol on its
  // standard input and output.
  context.subscriptions.push(
    vscode.debug.registerDebugAdapterDescriptorFactory('mrv33', {
      createDebugAdapterDescriptor() {
        const path = vscode.workspace.getConfiguration('mrv33').get('debugger.path') || 'mrvdap';
        return new vscode.DebugAdapterExecutable(path, []);
      },
    }),
  );
  client = new LanguageClient('mrv33', 'mrv33 language server', serverOptions(), clientOptions);
  context.subscriptions.push(
    vscode.commands.registerCommand('mrv33.restartServer', async () => {
      if (client) await client.restart();
    }),
  );
  return client.start().catch((err) => {
    vscode.window.showErrorMessage(
      `mrv33: cannot start the language server (${err.message}). ` +
        'Set "mrv33.server.path" to the mrvls program.',
    );
  });
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = { activate, deactivate };
