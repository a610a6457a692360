// An MCP server built the usual way on the official SDK: McpServer over StdioServerTransport,
// offering get_context_packet with the same input schema as quill-mcp. The tool answers at once
// with a fixed briefing, so what is measured is the server's own handling of the messages.
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StdioServerTransport } from '@modelcontextprotocol/sdk/server/stdio.js';
import { z } from 'zod';

const server = new McpServer(
  { name: 'quill', title: 'Quill', version: '1.0' },
  { instructions: 'Call get_context_packet before working on one of the user\'s projects.' },
);

server.registerTool(
  'get_context_packet',
  {
    title: 'Get context packet',
    description: 'Returns the cited briefing for one of the user\'s projects.',
    inputSchema: {
      project: z.string().describe('The project name, fuzzy-matched.'),
      task: z.string().optional().describe('What you are about to do.'),
    },
    annotations: { readOnlyHint: true, openWorldHint: false },
  },
  async () => ({ content: [{ type: 'text', text: 'briefing' }], isError: false }),
);

await server.connect(new StdioServerTransport());
